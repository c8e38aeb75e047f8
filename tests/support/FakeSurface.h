// A window surface for tests: records every call, answers questions from a
// script, and can run code while a message box is open (the nested message
// loop of a real window).
#pragma once

#include "update/WindowSurface.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

struct SSurfaceCall
{
    enum EKind { kStatus, kProgress, kRepaint, kMessage, kEnable, kGetCom, kSetCom };
    EKind eKind;
    std::string strText; // status or message text
    int nValue;          // progress, message type, enable flag, COM number
};

class CFakeSurface : public IWindowSurface
{
public:
    void SetStatusText(const std::string& strText) override
    {
        m_strStatus = strText;
        m_calls.push_back({SSurfaceCall::kStatus, strText, 0});
    }
    void SetProgress(int nPos) override
    {
        m_nProgress = nPos;
        if (nPos > m_nMaxProgress)
            m_nMaxProgress = nPos;
        m_calls.push_back({SSurfaceCall::kProgress, std::string(), nPos});
    }
    void RepaintNow() override { m_calls.push_back({SSurfaceCall::kRepaint, std::string(), 0}); ++m_nRepaints; }
    int ShowMessage(const std::string& strText, unsigned nType) override
    {
        m_calls.push_back({SSurfaceCall::kMessage, strText, static_cast<int>(nType)});
        m_messages.push_back(strText);
        m_types.push_back(nType);
        if (m_onMessage)
            m_onMessage(strText, nType);
        if (!IsQuestion(nType))
            return kAnswerOk;
        if (m_answers.empty())
            return m_nDefaultAnswer;
        int n = m_answers.front();
        m_answers.pop_front();
        return n;
    }
    void EnableDownload(bool bEnable) override
    {
        m_bDownloadEnabled = bEnable;
        m_calls.push_back({SSurfaceCall::kEnable, std::string(), bEnable ? 1 : 0});
    }
    int GetComNumber() override
    {
        m_calls.push_back({SSurfaceCall::kGetCom, std::string(), m_nCom});
        return m_nCom;
    }
    void SetComNumber(int nCom) override
    {
        m_nCom = nCom;
        m_calls.push_back({SSurfaceCall::kSetCom, std::string(), nCom});
    }

    std::string LastMessage() const { return m_messages.empty() ? std::string() : m_messages.back(); }

    int m_nCom = 5;
    std::deque<int> m_answers;          // answers to questions, in order
    int m_nDefaultAnswer = kAnswerNo;   // once the script is used up
    std::function<void(const std::string&, unsigned)> m_onMessage;

    std::vector<SSurfaceCall> m_calls;
    std::vector<std::string> m_messages;
    std::vector<unsigned> m_types;
    std::string m_strStatus;
    int m_nProgress = -1;
    int m_nMaxProgress = -1;
    int m_nRepaints = 0;
    bool m_bDownloadEnabled = true;
};

// The window surface on a terminal: status lines and message boxes on
// standard error, a progress bar (or 10 % steps when not on a terminal),
// questions as y/N.
#pragma once

#include "update/WindowSurface.h"

#include <cstdio>
#include <string>

class CTerminalSurface : public IWindowSurface
{
public:
    CTerminalSurface(FILE* pOut, bool bOutIsTerminal, bool bInIsTerminal, bool bAssumeYes);

    void SetStatusText(const std::string& strText) override;
    void SetProgress(int nPos) override;
    void RepaintNow() override;
    int ShowMessage(const std::string& strText, unsigned nType) override;
    void EnableDownload(bool bEnable) override { m_bDownloadEnabled = bEnable; }
    int GetComNumber() override { return m_nCom; }
    void SetComNumber(int nCom) override { m_nCom = nCom; }

    // Message box text as lines: CR LF, and a lone CR, become line breaks.
    static std::string AsLines(const std::string& strText);

    // Answers a question read from this stream (a terminal).
    FILE* m_pIn = stdin;
    bool m_bDownloadEnabled = true;
    std::string m_strLastMessage;

private:
    void EndBar();

    FILE* m_pOut;
    bool m_bOutIsTerminal;
    bool m_bInIsTerminal;
    bool m_bAssumeYes;
    int m_nCom = 0;
    std::string m_strStatus;
    bool m_bBarShown = false;
    int m_nLastPos = -1;
    int m_nLastStep = 0;
};

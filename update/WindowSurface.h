// What the update logic does to its window. Each front end (Win32 dialog,
// Qt window, terminal) realises it; tests use a scripted fake.
#pragma once

#include <string>

// Message box types, as the Win32 values.
const unsigned kMsgOk = 0;               // OK only
const unsigned kMsgWarning = 48;         // OK with the exclamation icon
const unsigned kMsgStopQuestion = 20;    // Yes/No with the stop icon
const unsigned kMsgWarningQuestion = 52; // Yes/No with the exclamation icon

// Answers.
const int kAnswerOk = 1;
const int kAnswerYes = 6;
const int kAnswerNo = 7;

// Every message box of the program carries this caption.
extern const char kMessageCaption[];

inline bool IsQuestion(unsigned nType)
{
    return (nType & 0x0F) == 4; // the Yes/No button set
}

class IWindowSurface
{
public:
    virtual ~IWindowSurface() {}
    virtual void SetStatusText(const std::string& strText) = 0;
    virtual void SetProgress(int nPos) = 0; // 0..100
    // Repaint the progress bar, then the whole window, at once.
    virtual void RepaintNow() = 0;
    // A modal box owned by the window; returns kAnswerOk, kAnswerYes or kAnswerNo.
    virtual int ShowMessage(const std::string& strText, unsigned nType) = 0;
    virtual void EnableDownload(bool bEnable) = 0;
    // The COM spin box's position, taken whole (it may be an error value).
    virtual int GetComNumber() = 0;
    virtual void SetComNumber(int nCom) = 0;
};

// The window surface on a terminal: status lines and message boxes on
// standard error, a progress bar (or 10 % steps when not on a terminal),
// questions as y/N. The close question can be left open while the stream
// goes on, as the window's is: it is answered later, or withdrawn when the
// run ends first.
#pragma once

#include "serial/Clock.h"
#include "update/WindowSurface.h"

#include <cstdio>
#include <functional>
#include <string>

class CUpdateDlgDlg;

class CTerminalSurface : public IWindowSurface
{
public:
    struct SOptions
    {
        bool bOutIsTerminal = false; // draw a bar instead of 10 % lines
        bool bInIsTerminal = false;  // questions can be answered
        bool bAssumeYes = false;     // --yes: Yes where nobody can answer
        bool bQuiet = false;         // message texts and results only
    };

    CTerminalSurface(FILE* pOut, const SOptions& options, IClock& clock);

    void SetStatusText(const std::string& strText) override;
    void SetProgress(int nPos) override;
    void RepaintNow() override;
    int ShowMessage(const std::string& strText, unsigned nType) override;
    void EnableDownload(bool bEnable) override { m_bDownloadEnabled = bEnable; }
    int GetComNumber() override { return m_nCom; }
    void SetComNumber(int nCom) override { m_nCom = nCom; }

    // The run whose counters the bar shows and whose end decides the last
    // drawing (100 % at completion).
    void WatchRun(const CUpdateDlgDlg* pDlg) { m_pDlg = pDlg; }
    // A port given as a path outside the COM names: the open failure names
    // the path instead of the stand-in COM number.
    void NamePortAs(int nStandInCom, const std::string& strPath);

    // The next question is shown and left open; ShowMessage answers No for
    // now, and the caller goes on ticking.
    void AskWithoutWaiting() { m_bDeferNext = true; }
    bool QuestionOpen() const { return m_bQuestionOpen; }
    // The open question's answer. No closes it here; Yes is handed to the
    // next ShowMessage of the question (the logic asks again to act on it).
    // bTyped: the answer was a line typed on the terminal.
    void AnswerOpenQuestion(int nAnswer, bool bTyped);
    // The run ended otherwise (stopped from outside): the question goes.
    void WithdrawQuestion();

    // A line of the terminal's own, shown even when quiet.
    void Say(const std::string& strLine);
    // A line of the terminal's own, not shown when quiet.
    void Note(const std::string& strLine);

    // Message box text as lines: CR LF, and a lone CR, become line breaks.
    static std::string AsLines(const std::string& strText);

    // Looked at while a question waits for its answer: the run is to stop.
    std::function<bool()> m_stopRequested;
    // Where whole lines go instead of the stream (several units writing to
    // one terminal prefix and serialise them there).
    std::function<void(const std::string& strLines)> m_writeLines;
    // Where the text that is not whole lines goes instead of the stream (the
    // bar, the y/N prompt); bMergeable: a later one makes it obsolete.
    std::function<void(const std::string& strText, bool bMergeable)> m_writeText;
    // Every message box once it has its answer (kAnswerOk, Yes or No).
    std::function<void(const std::string& strText, unsigned nType, int nAnswer)> m_onAnswered;

    bool m_bDownloadEnabled = true;
    std::string m_strLastMessage;

private:
    void EndBar();
    void WriteLines(const std::string& strLines);
    void WriteText(const std::string& strText, bool bMergeable);
    void DrawBar(int nPos);
    void Answered(const std::string& strText, unsigned nType, int nAnswer);
    int AskAndWait();

    FILE* m_pOut;
    SOptions m_options;
    IClock& m_clock;
    const CUpdateDlgDlg* m_pDlg = nullptr;
    int m_nCom = 0;
    int m_nStandInCom = -1;
    std::string m_strPortPath;
    std::string m_strStatus;
    bool m_bBarShown = false;
    size_t m_nBarLength = 0; // of the bar's line as last drawn
    int m_nLastPos = -1;
    int m_nLastStep = 0;
    bool m_bStreaming = false;
    uint32_t m_nStreamStart = 0;

    bool m_bDeferNext = false;
    bool m_bQuestionOpen = false;
    std::string m_strQuestion;
    unsigned m_nQuestionType = 0;
    int m_nPresetAnswer = 0;
};

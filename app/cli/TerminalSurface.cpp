#include "TerminalSurface.h"

#include "TerminalInput.h"
#include "update/UpdateDlgDlg.h"

namespace {

// How often a waiting question looks for its answer and for a stop request.
const int kAnswerPollMs = 20;

std::string Kilobytes(int nBytes)
{
    char sz[32];
    std::snprintf(sz, sizeof sz, "%.1f", nBytes / 1000.0);
    return sz;
}

} // namespace

CTerminalSurface::CTerminalSurface(FILE* pOut, const SOptions& options, IClock& clock)
    : m_pOut(pOut), m_options(options), m_clock(clock)
{
}

void CTerminalSurface::NamePortAs(int nStandInCom, const std::string& strPath)
{
    m_nStandInCom = nStandInCom;
    m_strPortPath = strPath;
}

std::string CTerminalSurface::AsLines(const std::string& strText)
{
    std::string s;
    for (size_t i = 0; i < strText.size(); ++i) {
        char c = strText[i];
        if (c == '\r') {
            if (i + 1 < strText.size() && strText[i + 1] == '\n')
                ++i;
            s += '\n';
        } else {
            s += c;
        }
    }
    return s;
}

void CTerminalSurface::EndBar()
{
    if (m_bBarShown) {
        WriteText("\n", false);
        m_bBarShown = false;
    }
}

void CTerminalSurface::Say(const std::string& strLine)
{
    EndBar();
    WriteLines(strLine + "\n");
}

void CTerminalSurface::WriteLines(const std::string& strLines)
{
    if (m_writeLines) {
        m_writeLines(strLines);
        return;
    }
    std::fputs(strLines.c_str(), m_pOut);
    std::fflush(m_pOut);
}

void CTerminalSurface::WriteText(const std::string& strText, bool bMergeable)
{
    if (m_writeText) {
        m_writeText(strText, bMergeable);
        return;
    }
    std::fputs(strText.c_str(), m_pOut);
}

void CTerminalSurface::Note(const std::string& strLine)
{
    if (!m_options.bQuiet)
        Say(strLine);
}

void CTerminalSurface::SetStatusText(const std::string& strText)
{
    if (strText == m_strStatus)
        return;
    m_strStatus = strText;
    Note(strText);
}

void CTerminalSurface::DrawBar(int nPos)
{
    const int kWidth = 30;
    int nFill = nPos * kWidth / 100;
    std::string strLine = "\r[" + std::string(static_cast<size_t>(nFill), '#')
        + std::string(static_cast<size_t>(kWidth - nFill), '-') + "] ";
    char sz[48];
    std::snprintf(sz, sizeof sz, "%3d%%", nPos);
    strLine += sz;
    if (m_pDlg && m_pDlg->m_nImageLength > 0) {
        int nBytes = nPos == 100 ? m_pDlg->m_nImageLength : m_pDlg->m_nBytesSent;
        strLine += "  " + Kilobytes(nBytes) + "/" + Kilobytes(m_pDlg->m_nImageLength) + " kB";
        uint32_t nMs = TicksElapsed(m_nStreamStart, m_clock.GetTickCount());
        if (nMs >= 200 && nBytes > 0) {
            double dRate = nBytes * 1000.0 / nMs; // bytes per second
            strLine += "  " + Kilobytes(static_cast<int>(dRate)) + " kB/s";
            if (nPos < 100) {
                int nLeft = static_cast<int>((m_pDlg->m_nImageLength - nBytes) / dRate + 0.5);
                std::snprintf(sz, sizeof sz, "  %d:%02d left", nLeft / 60, nLeft % 60);
                strLine += sz;
            }
        }
    }
    if (m_bQuestionOpen)
        strLine += m_options.bInIsTerminal ? "  Stop the transfer? [y/N] " : "  Ctrl-C again stops it ";
    // Clear what a longer earlier line left behind.
#ifdef _WIN32
    // Not every Windows console takes control sequences (Wine's does not):
    // blanks over the rest, then back to where an answer is typed.
    size_t nLength = strLine.size();
    if (nLength < m_nBarLength) {
        strLine += std::string(m_nBarLength - nLength, ' ');
        strLine += std::string(m_nBarLength - nLength, '\b');
    }
    m_nBarLength = nLength;
#else
    strLine += "\033[K";
#endif
    WriteText(strLine, true);
    m_bBarShown = true;
}

void CTerminalSurface::SetProgress(int nPos)
{
    if (nPos == m_nLastPos)
        return;
    m_nLastPos = nPos;
    if (nPos == 0 && m_pDlg && m_pDlg->LastEnd() != kEndNone) {
        m_bStreaming = false; // the reset at the end of a run draws nothing
        return;
    }
    if (!m_bStreaming) {
        m_bStreaming = true;
        m_nStreamStart = m_clock.GetTickCount();
        m_nLastStep = 0;
    }
    if (m_options.bQuiet)
        return;
    if (m_options.bOutIsTerminal) {
        DrawBar(nPos);
        return;
    }
    if (nPos >= m_nLastStep + 10) {
        m_nLastStep = nPos - nPos % 10;
        WriteLines("Progress: " + std::to_string(m_nLastStep) + "%\n");
    }
}

void CTerminalSurface::RepaintNow()
{
    std::fflush(m_pOut);
}

void CTerminalSurface::Answered(const std::string& strText, unsigned nType, int nAnswer)
{
    if (m_onAnswered)
        m_onAnswered(strText, nType, nAnswer);
}

void CTerminalSurface::AnswerOpenQuestion(int nAnswer, bool bTyped)
{
    if (!m_bQuestionOpen)
        return;
    // The answer's Enter has already ended the bar's line on the terminal.
    if (bTyped && m_options.bInIsTerminal && m_bBarShown)
        m_bBarShown = false;
    if (nAnswer == kAnswerYes) {
        m_nPresetAnswer = kAnswerYes;
        return;
    }
    m_bQuestionOpen = false;
    Say("No: the transfer goes on.");
    Answered(m_strQuestion, m_nQuestionType, kAnswerNo);
}

void CTerminalSurface::WithdrawQuestion()
{
    if (!m_bQuestionOpen)
        return;
    m_bQuestionOpen = false;
    // A Yes the logic had no chance to act on: it stopped the run from outside.
    const int nAnswer = m_nPresetAnswer == kAnswerYes ? kAnswerYes : kAnswerNo;
    m_nPresetAnswer = 0;
    Say(nAnswer == kAnswerYes ? "Yes: stopping the transfer." : "(The question is withdrawn: the transfer has ended.)");
    Answered(m_strQuestion, m_nQuestionType, nAnswer);
}

int CTerminalSurface::AskAndWait()
{
    if (!m_options.bInIsTerminal) {
        int nAnswer = m_options.bAssumeYes ? kAnswerYes : kAnswerNo;
        Say(m_options.bAssumeYes ? "Answered Yes (--yes)." : "Answered No (no terminal to ask; --yes answers Yes).");
        return nAnswer;
    }
    WriteText("[y/N] ", false);
    std::fflush(m_pOut);
    for (;;) {
        if (m_stopRequested && m_stopRequested()) {
            WriteText("\n", false);
            return kAnswerNo;
        }
        int nAnswer = PollAnswerLine(kAnswerPollMs);
        if (nAnswer)
            return nAnswer;
    }
}

int CTerminalSurface::ShowMessage(const std::string& strGiven, unsigned nType)
{
    std::string strText = strGiven;
    if (m_nStandInCom > 0 && m_pDlg && m_pDlg->LastEnd() == kEndOpenFailed
        && strText == "Error: COM" + std::to_string(m_nStandInCom) + " in use or does not exist.")
        strText = "Error: " + m_strPortPath + " in use or does not exist.";

    if (m_bQuestionOpen) {
        if (m_nPresetAnswer && strText == m_strQuestion) {
            // The logic asks again to act on the answer already given.
            int nAnswer = m_nPresetAnswer;
            m_nPresetAnswer = 0;
            m_bQuestionOpen = false;
            Say(nAnswer == kAnswerYes ? "Yes: stopping the transfer." : "No: the transfer goes on.");
            Answered(strText, nType, nAnswer);
            return nAnswer;
        }
        // The run ended while the question waited: it no longer applies.
        WithdrawQuestion();
    }

    if (m_pDlg && m_pDlg->LastEnd() == kEndCompleted && !m_options.bQuiet) {
        if (m_options.bOutIsTerminal)
            DrawBar(100);
        else
            WriteLines("Progress: 100%\n");
    }
    EndBar();
    m_strLastMessage = strText;
    WriteLines(AsLines(strText) + "\n");
    if (!IsQuestion(nType)) {
        Answered(strText, nType, kAnswerOk);
        return kAnswerOk;
    }
    // A key pressed before the question was put must not answer it.
    if (m_options.bInIsTerminal)
        DiscardTypedAhead();
    bool bDefer = m_bDeferNext && !(m_options.bAssumeYes && !m_options.bInIsTerminal);
    m_bDeferNext = false;
    if (bDefer) {
        m_bQuestionOpen = true;
        m_strQuestion = strText;
        m_nQuestionType = nType;
        if (m_options.bInIsTerminal)
            Say("Answer y or n while the transfer goes on; Ctrl-C again stops it.");
        else
            Say("No terminal to answer: Ctrl-C again stops the transfer.");
        return kAnswerNo;
    }
    int nAnswer = AskAndWait();
    Answered(strText, nType, nAnswer);
    return nAnswer;
}

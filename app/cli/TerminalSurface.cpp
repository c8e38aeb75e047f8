#include "TerminalSurface.h"

CTerminalSurface::CTerminalSurface(FILE* pOut, bool bOutIsTerminal, bool bInIsTerminal, bool bAssumeYes)
    : m_pOut(pOut), m_bOutIsTerminal(bOutIsTerminal), m_bInIsTerminal(bInIsTerminal), m_bAssumeYes(bAssumeYes)
{
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
        std::fputc('\n', m_pOut);
        m_bBarShown = false;
    }
}

void CTerminalSurface::SetStatusText(const std::string& strText)
{
    if (strText == m_strStatus)
        return;
    m_strStatus = strText;
    EndBar();
    std::fprintf(m_pOut, "%s\n", strText.c_str());
    std::fflush(m_pOut);
}

void CTerminalSurface::SetProgress(int nPos)
{
    if (nPos == m_nLastPos)
        return;
    m_nLastPos = nPos;
    if (m_bOutIsTerminal) {
        if (nPos == 0 && !m_bBarShown)
            return; // the reset at the end of a run draws nothing
        const int kWidth = 40;
        int nFill = nPos * kWidth / 100;
        std::string strBar(static_cast<size_t>(nFill), '#');
        strBar.append(static_cast<size_t>(kWidth - nFill), '-');
        std::fprintf(m_pOut, "\r[%s] %3d%%", strBar.c_str(), nPos);
        m_bBarShown = true;
        return;
    }
    if (nPos < m_nLastStep) {
        m_nLastStep = 0; // a new run starts from 0
        return;
    }
    if (nPos >= m_nLastStep + 10) {
        m_nLastStep = nPos - nPos % 10;
        std::fprintf(m_pOut, "Progress: %d%%\n", m_nLastStep);
        std::fflush(m_pOut);
    }
}

void CTerminalSurface::RepaintNow()
{
    std::fflush(m_pOut);
}

int CTerminalSurface::ShowMessage(const std::string& strText, unsigned nType)
{
    EndBar();
    m_strLastMessage = strText;
    std::string strLines = AsLines(strText);
    std::fprintf(m_pOut, "%s\n", strLines.c_str());
    if (!IsQuestion(nType)) {
        std::fflush(m_pOut);
        return kAnswerOk;
    }
    if (!m_bInIsTerminal) {
        int nAnswer = m_bAssumeYes ? kAnswerYes : kAnswerNo;
        std::fprintf(m_pOut, "%s\n", m_bAssumeYes ? "Answered Yes (--yes)." : "Answered No (no terminal to ask; --yes answers Yes).");
        std::fflush(m_pOut);
        return nAnswer;
    }
    std::fputs("[y/N] ", m_pOut);
    std::fflush(m_pOut);
    char szAnswer[64];
    if (!std::fgets(szAnswer, sizeof szAnswer, m_pIn))
        return kAnswerNo;
    return (szAnswer[0] == 'y' || szAnswer[0] == 'Y') ? kAnswerYes : kAnswerNo;
}

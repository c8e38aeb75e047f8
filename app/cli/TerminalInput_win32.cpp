#include "TerminalInput.h"

#include "update/WindowSurface.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

bool IsConsole(HANDLE h)
{
    DWORD nMode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &nMode) != FALSE;
}

int Judge(const std::string& strLine)
{
    return !strLine.empty() && (strLine[0] == 'y' || strLine[0] == 'Y') ? kAnswerYes : kAnswerNo;
}

// The console's own line editing only echoes while a read waits, and such a
// read would hold up the ticks until Enter; so the keys are taken one by one
// as they come, echoed here, and the line judged at Enter.
std::string g_strTyped;

int TakeConsoleKeys(HANDLE hIn)
{
    INPUT_RECORD records[32];
    DWORD nRead = 0;
    if (!ReadConsoleInputA(hIn, records, 32, &nRead))
        return kAnswerNo;
    for (DWORD i = 0; i < nRead; ++i) {
        const INPUT_RECORD& r = records[i];
        if (r.EventType != KEY_EVENT || !r.Event.KeyEvent.bKeyDown)
            continue;
        char c = r.Event.KeyEvent.uChar.AsciiChar;
        if (c == '\r' || c == '\n' || c == 0x1a) { // Enter, or Ctrl-Z: the end of input
            std::fputc('\n', stderr);
            std::fflush(stderr);
            int nAnswer = c == 0x1a ? kAnswerNo : Judge(g_strTyped);
            g_strTyped.clear();
            return nAnswer;
        }
        if (c == '\b') {
            if (!g_strTyped.empty()) {
                g_strTyped.pop_back();
                std::fputs("\b \b", stderr);
            }
        } else if (static_cast<unsigned char>(c) >= 0x20 && g_strTyped.size() < 127) {
            g_strTyped += c;
            std::fputc(c, stderr);
        }
    }
    std::fflush(stderr);
    return 0;
}

// A pipe or a file: whatever has come is one line.
int TakePipedLine(HANDLE hIn)
{
    if (GetFileType(hIn) == FILE_TYPE_PIPE) {
        DWORD nAvailable = 0;
        if (!PeekNamedPipe(hIn, nullptr, 0, nullptr, &nAvailable, nullptr))
            return kAnswerNo; // the writer has gone: the end of input
        if (nAvailable == 0)
            return 0;
    }
    char szLine[128];
    DWORD nRead = 0;
    if (!ReadFile(hIn, szLine, sizeof szLine, &nRead, nullptr) || nRead == 0)
        return kAnswerNo;
    return Judge(std::string(szLine, nRead));
}

} // namespace

bool StdinIsTerminal()
{
    return IsConsole(GetStdHandle(STD_INPUT_HANDLE));
}

bool StderrIsTerminal()
{
    return IsConsole(GetStdHandle(STD_ERROR_HANDLE));
}

int PollAnswerLine(int nTimeoutMs, IClock& clock)
{
    HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    if (hIn == nullptr || hIn == INVALID_HANDLE_VALUE)
        return kAnswerNo;
    const bool bConsole = IsConsole(hIn);
    // Counted on the ticks' clock: GetTickCount moves in steps of about
    // 15.6 ms on Windows, so a poll meant to end at the next 10 ms tick
    // would often hold it up by one step.
    const uint32_t nTimeout = static_cast<uint32_t>(nTimeoutMs > 0 ? nTimeoutMs : 0);
    const uint32_t nStart = clock.GetTickCount();
    for (;;) {
        int nAnswer = 0;
        if (bConsole) {
            DWORD nEvents = 0;
            if (GetNumberOfConsoleInputEvents(hIn, &nEvents) && nEvents > 0)
                nAnswer = TakeConsoleKeys(hIn);
        } else {
            nAnswer = TakePipedLine(hIn);
        }
        if (nAnswer)
            return nAnswer;
        uint32_t nDone = TicksElapsed(nStart, clock.GetTickCount());
        if (nDone >= nTimeout)
            return 0;
        uint32_t nLeft = nTimeout - nDone;
        // A console's handle is signalled while input waits; a pipe's is not
        // waitable, so it is looked at again shortly.
        if (bConsole)
            WaitForSingleObject(hIn, nLeft);
        else
            clock.Sleep(nLeft < 5 ? nLeft : 5);
    }
}

void DiscardTypedAhead()
{
    HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    if (!IsConsole(hIn))
        return;
    FlushConsoleInputBuffer(hIn);
    // A line begun for an earlier question is dropped with the keys.
    g_strTyped.clear();
}

#include "Console.h"

using namespace console;

bool SendText(CCommPort* pPort, const char* pszText, bool bPaced, IClock& clock)
{
    for (const char* p = pszText; *p; ++p) {
        if (p == pszText) {
            if (bPaced)
                clock.Sleep(kPaceMs);
            if (clock.Cancelled())
                return false;
        } else if (bPaced) {
            clock.SleepWhole(kPaceMs);
        }
        pPort->Write(p, 1); // a lost byte shows up as a missing reply
    }
    return true;
}

bool ReadReplyLine(CCommPort* pPort, char* pszLine, int nCapacity, int* pnSeen, IClock& clock)
{
    const uint32_t nStart = clock.GetTickCount();
    int nStored = 0;
    int nSeen = 0;
    bool bComplete = false;
    for (;;) {
        char c;
        if (pPort->Read(&c, 1)) {
            ++nSeen;
            if (c == '\r') {
                if (nStored > 0) {
                    bComplete = true;
                    break;
                }
                // An empty line is skipped; a unit that sends nothing but
                // CRs must still not hold the caller past the hard limit.
                if (TicksElapsed(nStart, clock.GetTickCount()) > kReplyHardLimitMs || clock.Cancelled())
                    break;
                continue;
            }
            if (c != '\n' && nStored < nCapacity - 1)
                pszLine[nStored++] = c;
            if (TicksElapsed(nStart, clock.GetTickCount()) > kReplyHardLimitMs || clock.Cancelled())
                break;
            continue;
        }
        if (TicksElapsed(nStart, clock.GetTickCount()) > kReplyDeadlineMs || clock.Cancelled())
            break;
        clock.Sleep(kPollPauseMs);
    }
    if (nCapacity > 0)
        pszLine[nStored] = '\0';
    if (pnSeen)
        *pnSeen = nSeen;
    return bComplete;
}

void DrainInput(CCommPort* pPort, IClock& clock)
{
    pPort->SetTimeouts(kDrainTimeoutMs);
    // A device server holds input of its own; what it holds is stale too.
    pPort->Purge();
    const uint32_t nStart = clock.GetTickCount();
    char c;
    while (pPort->Read(&c, 1)) {
        if (TicksElapsed(nStart, clock.GetTickCount()) > kDrainLimitMs || clock.Cancelled())
            break;
    }
}

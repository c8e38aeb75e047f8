#include "StopSignals.h"

#include <windows.h>

#include <atomic>

namespace {

// Process-wide by nature: a console event reaches the process, not a run.
std::atomic<int> g_nInterrupts(0);
std::atomic<int> g_nTaken(0);
std::atomic<bool> g_bTerminate(false);

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI OnConsoleEvent(DWORD nEvent)
{
    switch (nEvent) {
    case CTRL_C_EVENT:
        g_nInterrupts.fetch_add(1);
        return TRUE;
    case CTRL_BREAK_EVENT:
        // Ctrl-Break is the console's hard stop, as SIGTERM is on POSIX.
        g_bTerminate.store(true);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The process ends as soon as this handler returns: hold on while
        // the run stops and releases the port (the main thread's exit ends
        // the process first; the system gives up after about 5 s).
        g_bTerminate.store(true);
        ::Sleep(10000);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

void CStopSignals::Install()
{
    static bool bInstalled = false;
    if (bInstalled)
        return;
    bInstalled = true;
    // A program started with Ctrl-C ignored (start /b, some launchers)
    // would not see it otherwise.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int CStopSignals::TakeInterrupts()
{
    int nAll = g_nInterrupts.load();
    int nNew = nAll - g_nTaken.load();
    g_nTaken.store(nAll);
    return nNew;
}

bool CStopSignals::TerminateRequested()
{
    return g_bTerminate.load();
}

bool CStopSignals::AnyRequested()
{
    return g_bTerminate.load() || g_nInterrupts.load() != 0;
}

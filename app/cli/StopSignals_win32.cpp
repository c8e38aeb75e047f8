#include "StopSignals.h"

#include <windows.h>

namespace {

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI OnConsoleEvent(DWORD nEvent)
{
    switch (nEvent) {
    case CTRL_C_EVENT:
        CStopSignals::NoteInterrupt();
        return TRUE;
    case CTRL_BREAK_EVENT:
        // Ctrl-Break is the console's hard stop, as SIGTERM is on POSIX.
        CStopSignals::NoteTerminate();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The process ends as soon as this handler returns: hold on while
        // the run stops and releases the port (the main thread's exit ends
        // the process first; the system gives up after about 5 s).
        CStopSignals::NoteTerminate();
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

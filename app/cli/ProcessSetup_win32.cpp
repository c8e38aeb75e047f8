#include "ProcessSetup.h"

#include "serial/Clock.h"

#include <windows.h>

#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>

namespace {

HANDLE g_hConsoleIn = INVALID_HANDLE_VALUE;
DWORD g_nModeBefore = 0;

} // namespace

bool HoldQuickEditOff()
{
    if (g_hConsoleIn != INVALID_HANDLE_VALUE)
        return true;
    // The console's own input, even when standard input is redirected: the
    // window can still be clicked.
    HANDLE h = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD nMode = 0;
    // QuickEdit is changed only together with ENABLE_EXTENDED_FLAGS.
    if (!GetConsoleMode(h, &nMode) || !(nMode & ENABLE_QUICK_EDIT_MODE)
        || !SetConsoleMode(h, (nMode | ENABLE_EXTENDED_FLAGS) & ~ENABLE_QUICK_EDIT_MODE)) {
        CloseHandle(h);
        return false;
    }
    g_hConsoleIn = h;
    g_nModeBefore = nMode;
    return true;
}

void RestoreConsoleMode()
{
    if (g_hConsoleIn == INVALID_HANDLE_VALUE)
        return;
    // The console outlives the program (a cmd.exe window, say): its
    // operator gets QuickEdit back.
    SetConsoleMode(g_hConsoleIn, g_nModeBefore | ENABLE_EXTENDED_FLAGS);
    CloseHandle(g_hConsoleIn);
    g_hConsoleIn = INVALID_HANDLE_VALUE;
}

void PrepareProcess(bool bJson)
{
    // JSON Lines end in a bare LF, as on every other system, not in the
    // CR LF of a text-mode stream.
    if (bJson) {
        std::fflush(stdout);
        _setmode(_fileno(stdout), _O_BINARY);
    }
    // The console's standard error is unbuffered, and each piece written
    // goes to the console on its own: one bar drawn took about 15 ms under
    // Wine, and the frames waited for it. Whole lines and bars go at once
    // (every writer flushes what it has written).
    setvbuf(stderr, nullptr, _IOFBF, 4096);
    // Each frame waits for a 10 ms tick, paced here from the clock's count
    // and plain sleeps. Windows otherwise wakes sleepers and moves
    // GetTickCount about every 15.6 ms: the stream would take half as long
    // again (8.5 s instead of 6.1 s under Wine). The tool only lives for its
    // runs, so the 1 ms timer is asked for once and given back when the
    // process ends.
    timeBeginPeriod(1);
    UseFineSystemClock();
    if (HoldQuickEditOff())
        std::atexit(RestoreConsoleMode);
}

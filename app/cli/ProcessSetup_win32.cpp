#include "ProcessSetup.h"

#include "serial/Clock.h"

#include <windows.h>

#include <mmsystem.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

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
}

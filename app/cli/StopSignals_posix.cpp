#include "StopSignals.h"

#include <csignal>
#include <cstring>

namespace {

void OnSignal(int nSignal)
{
    if (nSignal == SIGINT)
        CStopSignals::NoteInterrupt();
    else
        CStopSignals::NoteTerminate();
}

} // namespace

void CStopSignals::Install()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    // Waits that must end at a signal (poll on the terminal, sleeps) end
    // whatever the flag says; reads and writes resume, so no output is cut
    // short by a Ctrl-C (the writers also resume on their own).
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

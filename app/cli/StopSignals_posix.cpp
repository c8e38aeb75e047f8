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
    sa.sa_flags = 0; // no SA_RESTART: a read of the terminal returns at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

#include "StopSignals.h"

#include <atomic>
#include <csignal>
#include <cstring>

namespace {

// Process-wide by nature: a signal reaches the process, not a run.
std::atomic<int> g_nInterrupts(0);
std::atomic<int> g_nTaken(0);
std::atomic<bool> g_bTerminate(false);

static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free counters");

void OnSignal(int nSignal)
{
    if (nSignal == SIGINT)
        g_nInterrupts.fetch_add(1);
    else
        g_bTerminate.store(true);
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

#include "StopSignals.h"

#include <atomic>

namespace {

// Process-wide by nature: a signal or console event reaches the process,
// not a run.
std::atomic<int> g_nInterrupts(0);
std::atomic<int> g_nTaken(0);
std::atomic<bool> g_bTerminate(false);
std::atomic<unsigned> g_nRequests(0);

static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free counters");
static_assert(std::atomic<unsigned>::is_always_lock_free, "signal handlers need lock-free counters");
static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers need lock-free flags");

} // namespace

void CStopSignals::NoteInterrupt()
{
    g_nInterrupts.fetch_add(1);
    g_nRequests.fetch_add(1);
}

void CStopSignals::NoteTerminate()
{
    g_bTerminate.store(true);
    g_nRequests.fetch_add(1);
}

int CStopSignals::TakeInterrupts()
{
    int nAll = g_nInterrupts.load();
    int nNew = nAll - g_nTaken.load();
    g_nTaken.store(nAll);
    return nNew;
}

int CStopSignals::PendingInterrupts()
{
    return g_nInterrupts.load() - g_nTaken.load();
}

unsigned CStopSignals::RequestsSoFar()
{
    return g_nRequests.load();
}

bool CStopSignals::TerminateRequested()
{
    return g_bTerminate.load();
}

bool CStopSignals::AnyRequested()
{
    return g_bTerminate.load() || g_nInterrupts.load() != g_nTaken.load();
}

bool CStopSignals::EverRequested()
{
    return g_bTerminate.load() || g_nInterrupts.load() != 0;
}

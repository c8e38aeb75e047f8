// The one clock seam of the program: a millisecond tick counter and a blocking
// sleep. Every deadline and pause goes through it, so tests can run the whole
// update on virtual time.
#pragma once

#include <cstdint>

class IClock
{
public:
    virtual ~IClock() {}
    // Milliseconds on a free-running 32-bit counter that wraps to zero.
    virtual uint32_t GetTickCount() = 0;
    virtual void Sleep(uint32_t nMs) = 0;
    // The run that uses this clock is to stop: waits and pauses give up
    // early and nothing more is sent. A window's clock is never cancelled.
    virtual bool Cancelled() { return false; }
    // A pause that a cancellation does not cut short: the rest of a console
    // line whose first byte has gone out.
    virtual void SleepWhole(uint32_t nMs) { Sleep(nMs); }
};

// Elapsed milliseconds between two readings of a wrapping 32-bit counter.
// Unsigned subtraction keeps a wait whole across the wrap.
inline uint32_t TicksElapsed(uint32_t nStart, uint32_t nNow)
{
    return nNow - nStart;
}

// The machine's own clock (monotonic).
IClock& SystemClock();

#ifdef _WIN32
// The system clock counts with GetTickCount, which moves in steps of the
// system tick (about 15.6 ms whatever timer resolution is asked for). A
// program that paces its own 10 ms ticks from the counter, rather than from
// window timers, asks once at its start for a count to the millisecond.
void UseFineSystemClock();
#endif

// Time that moves only when somebody sleeps or waits on it. The counter can
// start anywhere, e.g. just before the wrap.
class CVirtualClock : public IClock
{
public:
    explicit CVirtualClock(uint32_t nStartTick = 0) : m_nStart(nStartTick), m_nNow(0) {}
    uint32_t GetTickCount() override { return m_nStart + static_cast<uint32_t>(m_nNow); }
    void Sleep(uint32_t nMs) override
    {
        // A cancelled sleep ends at the moment of the cancellation.
        uint64_t nEnd = m_nNow + nMs;
        if (m_nCancelAt > m_nNow && m_nCancelAt < nEnd)
            nEnd = m_nCancelAt;
        m_nSlept += nEnd - m_nNow;
        m_nNow = nEnd;
    }
    bool Cancelled() override { return m_nNow >= m_nCancelAt; }
    void SleepWhole(uint32_t nMs) override
    {
        m_nSlept += nMs;
        m_nNow += nMs;
    }
    // The run is cancelled from this point of virtual time on.
    void CancelAt(uint64_t nMs) { m_nCancelAt = nMs; }

    // Milliseconds since construction, never wrapping.
    uint64_t Now() const { return m_nNow; }
    void Advance(uint64_t nMs) { m_nNow += nMs; }
    void AdvanceTo(uint64_t nMs) { if (nMs > m_nNow) m_nNow = nMs; }
    uint64_t TotalSlept() const { return m_nSlept; }

private:
    uint32_t m_nStart;
    uint64_t m_nNow;
    uint64_t m_nSlept = 0;
    uint64_t m_nCancelAt = UINT64_MAX;
};

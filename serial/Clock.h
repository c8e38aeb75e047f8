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
};

// Elapsed milliseconds between two readings of a wrapping 32-bit counter.
// Unsigned subtraction keeps a wait whole across the wrap.
inline uint32_t TicksElapsed(uint32_t nStart, uint32_t nNow)
{
    return nNow - nStart;
}

// The machine's own clock (monotonic).
IClock& SystemClock();

// Time that moves only when somebody sleeps or waits on it. The counter can
// start anywhere, e.g. just before the wrap.
class CVirtualClock : public IClock
{
public:
    explicit CVirtualClock(uint32_t nStartTick = 0) : m_nStart(nStartTick), m_nNow(0) {}
    uint32_t GetTickCount() override { return m_nStart + static_cast<uint32_t>(m_nNow); }
    void Sleep(uint32_t nMs) override { m_nNow += nMs; m_nSlept += nMs; }

    // Milliseconds since construction, never wrapping.
    uint64_t Now() const { return m_nNow; }
    void Advance(uint64_t nMs) { m_nNow += nMs; }
    void AdvanceTo(uint64_t nMs) { if (nMs > m_nNow) m_nNow = nMs; }
    uint64_t TotalSlept() const { return m_nSlept; }

private:
    uint32_t m_nStart;
    uint64_t m_nNow;
    uint64_t m_nSlept = 0;
};

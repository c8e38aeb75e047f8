// The run's clock on the terminal: the machine's clock, whose pauses end
// early (within a few milliseconds) once the run is to stop, and which then
// reports itself cancelled so that the update logic sends nothing more.
#pragma once

#include "serial/Clock.h"

#include <functional>

class CCancellableClock : public IClock
{
public:
    CCancellableClock(IClock& base, std::function<bool()> stopRequested)
        : m_base(base), m_stopRequested(std::move(stopRequested))
    {
    }

    uint32_t GetTickCount() override { return m_base.GetTickCount(); }
    void Sleep(uint32_t nMs) override;
    void SleepWhole(uint32_t nMs) override { m_base.SleepWhole(nMs); }
    bool Cancelled() override { return m_bArmed && m_stopRequested(); }

    // Only an armed clock cancels: the handshake is cut short at once, the
    // stream only through its close question.
    void Arm(bool bArmed) { m_bArmed = bArmed; }

private:
    IClock& m_base;
    std::function<bool()> m_stopRequested;
    bool m_bArmed = false;
};

// A port for fuzzing: the unit's side is a script read from the fuzzer's
// input, played on virtual time under the port's time-out rule.
//   0xFE n    silence for n * 20 ms
//   0xFC k b  the byte b, k * 100 times, 1 ms apart
//   0xFB      everything after this is one text, bytes 1 ms apart
//   other b   the byte b, 1 ms after the previous one
// When the script ends the unit is silent for ever.
#pragma once

#include "serial/Clock.h"
#include "serial/CommPort.h"

#include <cstddef>
#include <cstdint>
#include <deque>

class CScriptPort : public ICommDriver
{
public:
    CScriptPort(CVirtualClock& clock, const uint8_t* p, size_t n) : m_clock(clock)
    {
        bool bText = false;
        for (size_t i = 0; i < n; ++i) {
            uint8_t b = p[i];
            if (!bText && b == 0xFE && i + 1 < n) {
                m_events.push_back(SEvent{true, 0, static_cast<uint32_t>(p[++i]) * 20});
            } else if (!bText && b == 0xFC && i + 2 < n) {
                uint32_t k = static_cast<uint32_t>(p[i + 1]) * 100;
                for (uint32_t j = 0; j < k; ++j)
                    m_events.push_back(SEvent{false, p[i + 2], 1});
                i += 2;
            } else if (!bText && b == 0xFB) {
                bText = true;
            } else {
                m_events.push_back(SEvent{false, b, 1});
            }
        }
    }

    ICommHandle* OpenDevice(const char*) override { return new CHandle(*this); }

    size_t m_nTaken = 0;    // bytes handed to the reader
    size_t m_nWritten = 0;  // bytes the reader sent

private:
    struct SEvent
    {
        bool bSilence;
        uint8_t by;
        uint32_t nMs; // the byte's delay, or the silence's length
    };

    class CHandle : public ICommHandle
    {
    public:
        explicit CHandle(CScriptPort& port) : m_port(port) {}
        bool SetQueues(uint32_t, uint32_t) override { return true; }
        bool SetLine(uint32_t) override { return true; }
        bool SetReadTimeouts(uint32_t a, uint32_t b, uint32_t c) override
        {
            m_nInterval = a;
            m_nMultiplier = b;
            m_nConstant = c;
            return true;
        }
        bool ReadBytes(void* pBuffer, uint32_t nCount, uint32_t* pnRead) override
        {
            uint8_t* p = static_cast<uint8_t*>(pBuffer);
            uint32_t nTotal = m_nMultiplier * nCount + m_nConstant;
            uint32_t nUsed = 0;
            uint32_t nGot = 0;
            std::deque<SEvent>& ev = m_port.m_events;
            while (nGot < nCount) {
                uint32_t nLimit = nGot ? (m_nInterval < nTotal - nUsed ? m_nInterval : nTotal - nUsed) : nTotal - nUsed;
                if (ev.empty() || ev.front().bSilence) {
                    uint32_t nWait = nLimit;
                    if (!ev.empty() && ev.front().nMs <= nWait) {
                        nWait = ev.front().nMs;
                        ev.pop_front();
                        m_port.m_clock.Advance(nWait);
                        nUsed += nWait;
                        continue;
                    }
                    if (!ev.empty())
                        ev.front().nMs -= nWait;
                    m_port.m_clock.Advance(nWait + 1);
                    break;
                }
                if (ev.front().nMs > nLimit) {
                    ev.front().nMs -= nLimit;
                    m_port.m_clock.Advance(nLimit + 1);
                    break;
                }
                m_port.m_clock.Advance(ev.front().nMs);
                nUsed += ev.front().nMs;
                p[nGot++] = ev.front().by;
                ev.pop_front();
                ++m_port.m_nTaken;
            }
            *pnRead = nGot;
            return true;
        }
        bool WriteBytes(const void*, uint32_t nCount, uint32_t* pnWritten) override
        {
            m_port.m_nWritten += nCount;
            *pnWritten = nCount;
            return true;
        }

    private:
        CScriptPort& m_port;
        uint32_t m_nInterval = 0, m_nMultiplier = 0, m_nConstant = 0;
    };

    CVirtualClock& m_clock;
    std::deque<SEvent> m_events;
};

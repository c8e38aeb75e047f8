#include "Clock.h"

#include <windows.h>

namespace {

class CWin32Clock : public IClock
{
public:
    CWin32Clock()
    {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        m_nFrequency = frequency.QuadPart;
    }

    // The same count as ::GetTickCount (milliseconds, wrapping at 2^32), but
    // to the millisecond: ::GetTickCount moves in steps of the system tick,
    // about 15.6 ms whatever timer resolution is asked for, which would turn
    // each 10 ms wait for the next frame into one of 15 or 16 ms.
    uint32_t GetTickCount() override
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        const long long nSeconds = now.QuadPart / m_nFrequency;
        const long long nRest = now.QuadPart % m_nFrequency;
        return static_cast<uint32_t>(nSeconds * 1000 + nRest * 1000 / m_nFrequency);
    }
    void Sleep(uint32_t nMs) override { ::Sleep(nMs); }

private:
    long long m_nFrequency = 1;
};

} // namespace

IClock& SystemClock()
{
    static CWin32Clock clock;
    return clock;
}

#include "Clock.h"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<bool> g_bFine(false);

class CWin32Clock : public IClock
{
public:
    CWin32Clock()
    {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        m_nFrequency = frequency.QuadPart;
    }

    uint32_t GetTickCount() override
    {
        if (!g_bFine.load())
            return ::GetTickCount();
        // Milliseconds, wrapping at 2^32 as GetTickCount does.
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

void UseFineSystemClock()
{
    g_bFine.store(true);
}

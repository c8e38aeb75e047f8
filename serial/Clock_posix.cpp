#include "Clock.h"

#include <cerrno>
#include <ctime>

namespace {

class CPosixClock : public IClock
{
public:
    uint32_t GetTickCount() override
    {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        uint64_t nMs = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
        return static_cast<uint32_t>(nMs);
    }

    void Sleep(uint32_t nMs) override
    {
        timespec ts;
        ts.tv_sec = nMs / 1000;
        ts.tv_nsec = static_cast<long>(nMs % 1000) * 1000000L;
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
};

} // namespace

IClock& SystemClock()
{
    static CPosixClock clock;
    return clock;
}

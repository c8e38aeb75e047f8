#include "Clock.h"

#include <windows.h>

namespace {

class CWin32Clock : public IClock
{
public:
    uint32_t GetTickCount() override { return ::GetTickCount(); }
    void Sleep(uint32_t nMs) override { ::Sleep(nMs); }
};

} // namespace

IClock& SystemClock()
{
    static CWin32Clock clock;
    return clock;
}

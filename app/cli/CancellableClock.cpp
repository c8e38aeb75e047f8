#include "CancellableClock.h"

namespace {
// Longest pause between two looks at the stop request.
const uint32_t kSliceMs = 5;
} // namespace

void CCancellableClock::Sleep(uint32_t nMs)
{
    const uint32_t nStart = m_base.GetTickCount();
    for (;;) {
        if (Cancelled())
            return;
        uint32_t nDone = TicksElapsed(nStart, m_base.GetTickCount());
        if (nDone >= nMs)
            return;
        uint32_t nLeft = nMs - nDone;
        m_base.Sleep(nLeft < kSliceMs ? nLeft : kSliceMs);
    }
}

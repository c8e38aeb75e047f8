// ReadReplyLine against whatever a unit may send: the line always fits its
// buffer and ends in a zero byte, the seen count is every byte taken, a true
// result means a CR ended a non-empty line, and no input holds the caller
// longer than the time limits allow.
#include "ScriptPort.h"
#include "serial/Console.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 1)
        return 0;
    const int nCapacity = pData[0] % 128 + 1;
    CVirtualClock clock(pData[0] & 0x80 ? 0xFFFFFFFFu - 1000u : 0u); // also across the wrap
    CScriptPort script(clock, pData + 1, nSize - 1);
    CCommPort port(&script);
    if (!port.Open("COM5", 921600, 2000))
        std::abort();
    port.SetTimeouts(console::kDrainTimeoutMs);

    // Exactly the capacity, so that a write past it is caught.
    std::unique_ptr<char[]> line(new char[static_cast<size_t>(nCapacity)]);
    std::memset(line.get(), 0x7F, static_cast<size_t>(nCapacity));
    int nSeen = -1;
    const uint64_t nStart = clock.Now();
    const size_t nTakenBefore = script.m_nTaken;
    bool bComplete = ReadReplyLine(&port, line.get(), nCapacity, &nSeen, clock);
    const uint64_t nElapsed = clock.Now() - nStart;

    size_t nLen = strnlen(line.get(), static_cast<size_t>(nCapacity));
    if (nLen >= static_cast<size_t>(nCapacity))
        std::abort(); // not terminated inside the buffer
    if (static_cast<size_t>(nSeen) != script.m_nTaken - nTakenBefore)
        std::abort();
    if (bComplete && nSeen < 2)
        std::abort(); // a CR alone never completes a line
    // Bytes that keep coming end the wait at the hard limit, silence at the
    // deadline and one poll: never much beyond the hard limit.
    if (nElapsed > console::kReplyHardLimitMs + console::kPollPauseMs + 10) {
        std::fprintf(stderr, "ReadReplyLine held the caller for %llu ms\n", static_cast<unsigned long long>(nElapsed));
        std::abort();
    }
    return 0;
}

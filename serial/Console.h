// Console line I/O with the unit over an open port: paced and unpaced texts,
// reply lines with their fixed deadline, and input draining.
#pragma once

#include "Clock.h"
#include "CommPort.h"

namespace console {
const uint32_t kPaceMs = 50;
const uint32_t kReplyDeadlineMs = 2000;
const uint32_t kPollPauseMs = 50;
const uint32_t kDrainTimeoutMs = 1;
// A unit that never stops sending must not hold the caller forever: a reply
// line gives up after this long even while bytes keep coming, and a drain
// stops after this long of unbroken input.
const uint32_t kReplyHardLimitMs = 10000;
const uint32_t kDrainLimitMs = 2000;
} // namespace console

// Writes the text one byte at a time; paced texts sleep 50 ms before each byte.
// A cancelled clock keeps a text from starting but never cuts one short:
// half a command left in the unit's console would be completed by the next
// run's wake-up. Returns false when nothing was sent for that reason.
bool SendText(CCommPort* pPort, const char* pszText, bool bPaced, IClock& clock);

// Collects one line ended by CR within 2000 ms (less when the clock is cancelled). Returns true when the CR came.
// At most nCapacity - 1 characters are stored, always zero-terminated;
// *pnSeen counts every byte taken from the port.
bool ReadReplyLine(CCommPort* pPort, char* pszLine, int nCapacity, int* pnSeen, IClock& clock);

// Discards pending input and leaves 1 ms read time-outs in force.
void DrainInput(CCommPort* pPort, IClock& clock);

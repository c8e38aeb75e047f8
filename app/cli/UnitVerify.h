// --verify: after a completed update, the unit's console is woken again as
// the handshake wakes it, until it answers or the time is up, and the version
// it reports is read the way the version rule reads it.
#pragma once

#include "serial/Clock.h"
#include "serial/CommPort.h"

#include <string>

struct SConsoleVersion
{
    bool bAnswered = false;     // a reply line of at least 5 characters came
    bool bVersionKnown = false; // and it carried a version
    float fVersion = 0.0f;
};

// How long a restarting unit is given to answer.
const uint32_t kVerifyLimitMs = 30000;

// Opens strPortName (as the logic names it) through pDriver, sends "\r\n" and
// reads the reply line until a unit answers or nLimitMs pass (or the clock is
// cancelled). A port that is gone, or that brings nothing back, is opened
// afresh for the next try: a restarting unit may take its port away.
SConsoleVersion WakeAndReadVersion(ICommDriver* pDriver, const std::string& strPortName, IClock& clock,
                                   uint32_t nLimitMs = kVerifyLimitMs);

// The version rule's comparison: the reported value in hundredths, truncated
// toward zero, is the packaged version's (220).
bool IsPackagedVersion(float fVersion);

// Which ports a station updates: every port that the instrument's name rule
// matches, and, while watching, each such port once per appearance.
#pragma once

#include "discovery/EnumSerialPorts.h"
#include "serial/Clock.h"
#include "serial/CommPort.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

struct SUnitTarget;

// Whether two targets open one device, however they spell it: one device is
// one unit, and gets one run.
bool SameUnit(const SUnitTarget& a, const SUnitTarget& b);

// The COM numbers of every listed port whose display name the instrument's
// rule matches, in list order, each once. A list that cannot be made throws
// its text, as the enumeration does.
std::vector<int> InstrumentPorts(IPortSource* pSource = nullptr);

// A port is listed as soon as the kernel has it, often before udev has made
// its node or given it its group and mode. Tries to open strName until it
// opens, fails in a way that waiting does not mend (held by another program,
// not a serial device), nPatienceMs pass, or stop() says so; the pauses grow.
// The device is closed again at once. Returns the last attempt's error
// (kOpenNoFailure when it opened).
SOpenError AwaitOpenable(ICommDriver& driver, const std::string& strName, IClock& clock, uint32_t nPatienceMs,
                         const std::function<bool()>& stop);

class CPortWatch
{
public:
    // One listing: the instrument ports present now, and whether a run of a
    // port is still going. Returns the ports to start now: those present that
    // have not had a run since they appeared. A port that leaves the listing
    // is forgotten, so its next appearance gets a run of its own (after the
    // old run has ended, if that one still goes on).
    std::vector<int> Listed(const std::vector<int>& present, const std::function<bool(int nCom)>& running);

private:
    std::set<int> m_spent; // ports whose present appearance has had its run
};

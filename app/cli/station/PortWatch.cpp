#include "PortWatch.h"

#include "../UnitRun.h"
#include "serial/SameDevice.h"

#include <algorithm>

namespace {

// The name a target's run opens.
std::string OpenedName(const SUnitTarget& target)
{
    return target.strFixedPath.empty() ? "COM" + std::to_string(target.nCom) : target.strFixedPath;
}

// The first pause after a failed open, and the longest.
const uint32_t kFirstPauseMs = 50;
const uint32_t kLongestPauseMs = 500;
// A stop is noticed within this while pausing.
const uint32_t kStopLookMs = 20;

bool MayMendItself(EOpenFailure eReason)
{
    return eReason == kOpenNoDevice || eReason == kOpenDenied;
}

} // namespace

SOpenError AwaitOpenable(ICommDriver& driver, const std::string& strName, IClock& clock, uint32_t nPatienceMs,
                         const std::function<bool()>& stop)
{
    uint32_t nStart = clock.GetTickCount();
    uint32_t nPause = kFirstPauseMs;
    for (;;) {
        SOpenError error;
        delete driver.OpenDeviceReporting(strName.c_str(), &error);
        if (error.eReason == kOpenNoFailure || !MayMendItself(error.eReason))
            return error;
        uint32_t nWaited = TicksElapsed(nStart, clock.GetTickCount());
        if (nWaited >= nPatienceMs)
            return error;
        uint32_t nEnd = nWaited + std::min(nPause, nPatienceMs - nWaited);
        while (!stop() && (nWaited = TicksElapsed(nStart, clock.GetTickCount())) < nEnd)
            clock.Sleep(std::min(kStopLookMs, nEnd - nWaited));
        if (stop())
            return error;
        nPause = std::min(nPause * 2, kLongestPauseMs);
    }
}

bool SameUnit(const SUnitTarget& a, const SUnitTarget& b)
{
    return SameDevice(OpenedName(a), OpenedName(b));
}

std::vector<int> InstrumentPorts(IPortSource* pSource)
{
    CEnumSerialPorts ports(pSource);
    CSerInfoArray list;
    // As detection lists them: ports held by other programs stay listed.
    ports.EnumerateAll(list, 0);
    std::vector<int> found;
    for (int i = 0; i < list.GetSize(); ++i) {
        int nCom = -1;
        if (MatchDisplayName(list[i].strDisplayName, &nCom)
            && std::find(found.begin(), found.end(), nCom) == found.end())
            found.push_back(nCom);
    }
    return found;
}

std::vector<int> CPortWatch::Listed(const std::vector<int>& present, const std::function<bool(int)>& running)
{
    for (auto it = m_spent.begin(); it != m_spent.end();) {
        if (std::find(present.begin(), present.end(), *it) == present.end())
            it = m_spent.erase(it);
        else
            ++it;
    }
    std::vector<int> start;
    for (int nCom : present) {
        if (m_spent.count(nCom) || running(nCom))
            continue;
        m_spent.insert(nCom);
        start.push_back(nCom);
    }
    return start;
}

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

} // namespace

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

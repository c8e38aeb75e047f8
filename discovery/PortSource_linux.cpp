// Linux source of the port list. (Placeholder until the sysfs walk lands.)
#include "EnumSerialPorts.h"

namespace {

class CLinuxPortSource : public IPortSource
{
public:
    void Enumerate(CSerInfoArray&) override {}
    bool CanOpen(const std::string&) override { return false; }
};

} // namespace

IPortSource& PlatformPortSource()
{
    static CLinuxPortSource source;
    return source;
}

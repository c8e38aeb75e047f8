// Port list of POSIX systems without sysfs: no source of port names is
// known, so nothing is listed and detection reports "not found". Ports
// still open by COM name or path.
#include "EnumSerialPorts.h"

#include "serial/CommPort.h"

namespace {

class CNoPortSource : public IPortSource
{
public:
    void Enumerate(CSerInfoArray&) override {}
    bool CanOpen(const std::string& strPath) override
    {
        ICommHandle* pHandle = PlatformCommDriver().OpenDevice(strPath.c_str());
        if (!pHandle)
            return false;
        delete pHandle;
        return true;
    }
};

} // namespace

IPortSource& PlatformPortSource()
{
    static CNoPortSource source;
    return source;
}

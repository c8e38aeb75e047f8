#include "SameDevice.h"

#include "ComNames.h"
#include "NetPortName.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

std::string DeviceIdentity(const std::string& strName)
{
    // A server's TCP port is one unit whichever scheme reaches it.
    SNetAddress address;
    std::string strError;
    if (IsNetPortName(strName))
        return ParseNetPortName(strName, &address, &strError) ? NetIdentity(address) : "name " + strName;
#ifdef _WIN32
    // Windows opens serial ports by their COM names alone.
    int nCom = ParseComName(strName);
    return nCom >= 0 ? "COM" + std::to_string(nCom) : strName;
#else
    std::string strPath = ResolvePortName(strName);
    if (strPath.empty())
        return "name " + strName;
    struct stat st;
    if (stat(strPath.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
        return "device " + std::to_string(static_cast<unsigned long long>(st.st_rdev));
    return "path " + strPath;
#endif
}

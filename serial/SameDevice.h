// Whether two port names open one and the same device: "COM132",
// "/dev/pts/3" and a link to it name one unit, which must get one run.
#pragma once

#include <string>

// What a name opens, as a text that two names of one device share: on POSIX
// the device number of the node the name resolves to (through the COM table
// and links), or the resolved spelling when there is no node (yet); on
// Windows the COM number.
std::string DeviceIdentity(const std::string& strName);

inline bool SameDevice(const std::string& strA, const std::string& strB)
{
    return DeviceIdentity(strA) == DeviceIdentity(strB);
}

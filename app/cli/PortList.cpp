#include "PortList.h"

#include <algorithm>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <cerrno>
#endif

std::string PortListText(IPortSource* pSource)
{
    CEnumSerialPorts ports(pSource);
    CSerInfoArray list;
    try {
        ports.EnumerateAll(list, 0);
    } catch (const std::string& strError) {
        std::string s = strError;
        for (char& c : s) {
            if (c == '\r' || c == '\n')
                c = ' ';
        }
        return s + "\n";
    }
    if (list.GetSize() == 0)
        return "no serial ports\n";
    size_t nComWidth = 0, nPathWidth = 0;
    for (int i = 0; i < list.GetSize(); ++i) {
        nComWidth = std::max(nComWidth, list[i].strComName.size());
        nPathWidth = std::max(nPathWidth, list[i].strPath.size());
    }
    std::string s;
    for (int i = 0; i < list.GetSize(); ++i) {
        const SSerInfo& info = list[i];
        int nCom = -1;
        bool bInstrument = MatchDisplayName(info.strDisplayName, &nCom);
        s += info.strComName + std::string(nComWidth - info.strComName.size() + 2, ' ');
        s += info.strPath + std::string(nPathWidth - info.strPath.size() + 2, ' ');
        s += info.strDisplayName;
        if (bInstrument)
            s += "  [instrument]";
        s += "\n";
    }
    return s;
}

std::string OpenFailureText(const std::string& strDevice, const SOpenError& error)
{
    std::string s = "Device " + strDevice + ": ";
    switch (error.eReason) {
    case kOpenNoDevice:
        return s + "no such device. Is the ZT9047Q plugged in? zt9047q-flash --list shows the serial ports.";
    case kOpenDenied:
        return s + "permission denied. Add yourself to the group dialout with "
                   "'sudo usermod -aG dialout $USER', then log out and in again "
                   "(or install the package's udev rule).";
    case kOpenBusy:
        return s + "held by another program. Close it and try again.";
    default:
        break;
    }
#ifndef _WIN32
    if (error.nOsCode == ENOTTY)
        return s + "not a serial device.";
#endif
    if (error.nOsCode != 0)
        return s + std::strerror(error.nOsCode) + " (error " + std::to_string(error.nOsCode) + ").";
    return s + "the line settings were refused; is it a serial port?";
}

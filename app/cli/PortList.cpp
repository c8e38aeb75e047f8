#include "PortList.h"

#include "JsonSurface.h"
#include "serial/ComNames.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <cerrno>
#endif

namespace {

// Windows lists COM-port interfaces by their interface paths; their COM name
// is the one the friendly name ends in, such as "USB Serial Port (COM3)".
std::string ComNameOf(const SSerInfo& info)
{
    return PortComName(info);
}

} // namespace

std::string PortComName(const SSerInfo& info)
{
    if (!info.strComName.empty())
        return info.strComName;
    const std::string& s = info.strDisplayName;
    size_t nOpen = s.rfind("(COM");
    if (nOpen == std::string::npos || s.empty() || s.back() != ')')
        return "-";
    std::string strName = s.substr(nOpen + 1, s.size() - nOpen - 2);
    return ParseComName(strName) > 0 ? strName : "-";
}

std::string UsbIdentityText(const SSerInfo& info)
{
    std::string s;
    if (!info.strUsbPath.empty())
        s = "usb " + info.strUsbPath;
    if (!info.strUsbSerial.empty())
        s += (s.empty() ? "serial " : " serial ") + info.strUsbSerial;
    return s;
}

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
    std::vector<std::string> names;
    size_t nComWidth = 0, nPathWidth = 0;
    for (int i = 0; i < list.GetSize(); ++i) {
        names.push_back(ComNameOf(list[i]));
        nComWidth = std::max(nComWidth, names.back().size());
        nPathWidth = std::max(nPathWidth, list[i].strPath.size());
    }
    std::string s;
    for (int i = 0; i < list.GetSize(); ++i) {
        const SSerInfo& info = list[i];
        int nCom = -1;
        bool bInstrument = MatchDisplayName(info.strDisplayName, &nCom);
        s += names[i] + std::string(nComWidth - names[i].size() + 2, ' ');
        s += info.strPath + std::string(nPathWidth - info.strPath.size() + 2, ' ');
        s += info.strDisplayName;
        if (bInstrument)
            s += "  [instrument]";
        std::string strIdentity = UsbIdentityText(info);
        if (!strIdentity.empty())
            s += "  " + strIdentity;
        s += "\n";
    }
    return s;
}

bool PortListJson(std::string* pLines, std::string* pError, IPortSource* pSource)
{
    CEnumSerialPorts ports(pSource);
    CSerInfoArray list;
    try {
        ports.EnumerateAll(list, 0);
    } catch (const std::string& strError) {
        *pError = strError;
        return false;
    }
    for (int i = 0; i < list.GetSize(); ++i) {
        const SSerInfo& info = list[i];
        std::string strCom = ComNameOf(info);
        int nCom = -1;
        bool bInstrument = MatchDisplayName(info.strDisplayName, &nCom);
        *pLines += "{\"event\":\"port\",\"port\":" + JsonString(strCom == "-" ? "" : strCom) + ",\"path\":"
            + JsonString(info.strPath) + ",\"name\":" + JsonString(info.strDisplayName)
            + ",\"instrument\":" + (bInstrument ? "true" : "false") + ",\"usb_path\":"
            + (info.strUsbPath.empty() ? "null" : JsonString(info.strUsbPath)) + ",\"usb_serial\":"
            + (info.strUsbSerial.empty() ? "null" : JsonString(info.strUsbSerial)) + "}\n";
    }
    return true;
}

std::string OpenFailureText(const std::string& strDevice, const SOpenError& error)
{
    std::string s = "Device " + strDevice + ": ";
    // The driver's own words (a network port's) say it best.
    if (!error.strDetail.empty())
        return s + error.strDetail + ".";
    switch (error.eReason) {
    case kOpenNoDevice:
        return s + "no such device. Is the ZT9047Q plugged in? zt9047q-flash --list shows the serial ports.";
    case kOpenDenied:
        return s + "permission denied. Add yourself to the group dialout with "
                   "'sudo usermod -aG dialout $USER', then log out and in again "
                   "(or install the package's udev rule).";
    case kOpenBusy:
        return s + "held by another program. Close it and try again.";
    case kOpenOwnTerminal:
        return s + "this is the terminal zt9047q-flash runs in, not the ZT9047Q's port.";
    default:
        break;
    }
#ifdef _WIN32
    if (error.nOsCode != 0)
        return s + "the system refused it (error " + std::to_string(error.nOsCode) + ").";
#else
    if (error.nOsCode == ENOTTY)
        return s + "not a serial device.";
    if (error.nOsCode != 0)
        return s + std::strerror(error.nOsCode) + " (error " + std::to_string(error.nOsCode) + ").";
#endif
    return s + "the line settings were refused; is it a serial port?";
}

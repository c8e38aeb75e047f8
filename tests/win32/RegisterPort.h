// Registers COM-port device interfaces in the running system (a Wine test
// prefix), so that the device-interface method finds them: a root device of
// the Ports class with friendly name, description and location written, and
// a GUID_DEVINTERFACE_COMPORT interface marked linked. Test code only.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstring>
#include <string>

namespace regport {

const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

inline std::string Failed(const char* pszCall)
{
    char szCode[32];
    std::snprintf(szCode, sizeof szCode, " failed (err=%lx)", static_cast<unsigned long>(GetLastError()));
    return std::string(pszCall) + szCode;
}

inline bool SetText(HDEVINFO hSet, SP_DEVINFO_DATA* pDev, DWORD dwProperty, const char* pszText)
{
    if (!pszText)
        return true; // left unwritten
    return SetupDiSetDeviceRegistryPropertyA(hSet, pDev, dwProperty, reinterpret_cast<const BYTE*>(pszText),
                                             static_cast<DWORD>(std::strlen(pszText) + 1))
        != FALSE;
}

// A device ROOT\<tag>\NNNN with the given properties (null: not written) and
// its COM-port interface. Returns an empty text, or what failed. A tag with
// a backslash is a whole instance ID (USB\VID_0403&PID_6001\ZT0042), as a
// USB device gets.
inline std::string Register(const char* pszTag, const char* pszFriendly, const char* pszDescription,
                            const char* pszLocation)
{
    HDEVINFO hSet = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
    if (hSet == INVALID_HANDLE_VALUE)
        return Failed("SetupDiCreateDeviceInfoList");
    std::string strError;
    SP_DEVINFO_DATA dev;
    std::memset(&dev, 0, sizeof dev);
    dev.cbSize = sizeof dev;
    SP_DEVICE_INTERFACE_DATA iface;
    std::memset(&iface, 0, sizeof iface);
    iface.cbSize = sizeof iface;
    const bool bWholeId = std::strchr(pszTag, '\\') != nullptr;
    if (!SetupDiCreateDeviceInfoA(hSet, pszTag, &kPortsClass, nullptr, nullptr, bWholeId ? 0 : DICD_GENERATE_ID,
                                  &dev))
        strError = Failed("SetupDiCreateDeviceInfo");
    else if (!SetupDiRegisterDeviceInfo(hSet, &dev, 0, nullptr, nullptr, nullptr))
        strError = Failed("SetupDiRegisterDeviceInfo");
    else if (!SetText(hSet, &dev, SPDRP_FRIENDLYNAME, pszFriendly) || !SetText(hSet, &dev, SPDRP_DEVICEDESC, pszDescription)
             || !SetText(hSet, &dev, SPDRP_LOCATION_INFORMATION, pszLocation))
        strError = Failed("SetupDiSetDeviceRegistryProperty");
    else if (!SetupDiCreateDeviceInterfaceA(hSet, &dev, &kComPortInterface, nullptr, 0, &iface))
        strError = Failed("SetupDiCreateDeviceInterface");

    if (strError.empty()) {
        // Only a linked interface counts as present: its key
        // DeviceClasses\{guid}\<link, "\\?\" written "##?#">\#\Control
        // holds Linked = 1.
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
            char buffer[1024];
        } u;
        std::memset(&u, 0, sizeof u);
        u.detail.cbSize = sizeof u.detail;
        if (!SetupDiGetDeviceInterfaceDetailA(hSet, &iface, &u.detail, sizeof u, nullptr, nullptr)) {
            strError = Failed("SetupDiGetDeviceInterfaceDetail");
        } else {
            std::string strLink = u.detail.DevicePath;
            std::string strKey = "System\\CurrentControlSet\\Control\\DeviceClasses\\"
                                 "{86e0d1e0-8089-11d0-9ce4-08003e301f73}\\##?#"
                + strLink.substr(4) + "\\#\\Control";
            HKEY hKey = nullptr;
            DWORD dwLinked = 1;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                                nullptr)
                    != ERROR_SUCCESS
                || RegSetValueExA(hKey, "Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwLinked),
                                  sizeof dwLinked)
                    != ERROR_SUCCESS)
                strError = "could not mark " + strKey + " linked";
            if (hKey)
                RegCloseKey(hKey);
        }
    }
    SetupDiDestroyDeviceInfoList(hSet);
    return strError;
}

// Removes every device ROOT\<tag>\... (or, for a whole instance ID, that
// device) again. Returns how many went.
inline int Remove(const char* pszTag)
{
    HDEVINFO hSet = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, 0);
    if (hSet == INVALID_HANDLE_VALUE)
        return 0;
    const bool bWholeId = std::strchr(pszTag, '\\') != nullptr;
    std::string strPrefix = bWholeId ? std::string(pszTag) : std::string("ROOT\\") + pszTag + "\\";
    int nRemoved = 0;
    SP_DEVINFO_DATA dev;
    for (DWORD i = 0;; ++i) {
        std::memset(&dev, 0, sizeof dev);
        dev.cbSize = sizeof dev;
        if (!SetupDiEnumDeviceInfo(hSet, i, &dev))
            break;
        char szId[512];
        if (!SetupDiGetDeviceInstanceIdA(hSet, &dev, szId, sizeof szId, nullptr))
            continue;
        if (bWholeId && std::strlen(szId) != strPrefix.size())
            continue;
        if (_strnicmp(szId, strPrefix.c_str(), strPrefix.size()) == 0 && SetupDiRemoveDevice(hSet, &dev))
            ++nRemoved;
    }
    SetupDiDestroyDeviceInfoList(hSet);
    return nRemoved;
}

} // namespace regport

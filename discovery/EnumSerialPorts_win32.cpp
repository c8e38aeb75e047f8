#include "EnumSerialPorts_win32.h"

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}, defined here so that no extra
// import library is needed for it.
static const GUID kGuidDevInterfaceComPort = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

namespace {

const char kPathPrefix[] = "\\\\.\\";

// A text read into a fixed buffer: up to its terminator, never past the end.
std::string FromBuffer(const char* pBuffer, size_t nSize)
{
    size_t n = 0;
    while (n < nSize && pBuffer[n] != '\0')
        ++n;
    return std::string(pBuffer, n);
}

bool ReadProperty(const SSetupApi& api, HDEVINFO hSet, SP_DEVINFO_DATA* pDevInfo, DWORD dwProperty,
                  std::string* pstrValue)
{
    char buffer[CWin32PortSource::kPropertyBufferSize];
    if (!api.pGetDeviceRegistryProperty(hSet, pDevInfo, dwProperty, nullptr, reinterpret_cast<BYTE*>(buffer),
                                        sizeof buffer, nullptr))
        return false;
    *pstrValue = FromBuffer(buffer, sizeof buffer);
    return true;
}

// A value longer than the buffer counts as missing.
bool ReadValue(HKEY hKey, const char* pszName, std::string* pstrValue)
{
    char buffer[CWin32PortSource::kValueBufferSize];
    DWORD cb = sizeof buffer;
    if (RegQueryValueExA(hKey, pszName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &cb) != ERROR_SUCCESS)
        return false;
    *pstrValue = FromBuffer(buffer, cb < sizeof buffer ? cb : sizeof buffer);
    return true;
}

// The sub-key name at an index; false at the end of the list, on any
// failure and for a name longer than the buffer.
bool EnumSubKey(HKEY hKey, DWORD dwIndex, std::string* pstrName)
{
    char name[CWin32PortSource::kKeyNameSize];
    DWORD cch = sizeof name;
    if (RegEnumKeyExA(hKey, dwIndex, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    *pstrName = FromBuffer(name, sizeof name);
    return true;
}

// Where the device sits and who it is. Read after the three properties of
// the listing and only for a listed port, so their order and the listing's
// rules stay as they are; what cannot be read stays empty and is no error.
void ReadUsbIdentity(const SSetupApi& api, HDEVINFO hSet, SP_DEVINFO_DATA* pDevInfo, SSerInfo* pInfo)
{
    char buffer[CWin32PortSource::kIdentityBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    if (api.pGetDeviceRegistryProperty(hSet, pDevInfo, SPDRP_LOCATION_PATHS, nullptr, reinterpret_cast<BYTE*>(buffer),
                                       sizeof buffer, nullptr))
        pInfo->strUsbPath = UsbPathFromLocationPaths(buffer, sizeof buffer);
    std::memset(buffer, 0, sizeof buffer);
    if (api.pGetDeviceInstanceId && api.pGetDeviceInstanceId(hSet, pDevInfo, buffer, sizeof buffer, nullptr))
        pInfo->strUsbSerial = UsbSerialFromInstanceId(FromBuffer(buffer, sizeof buffer));
}

} // namespace

std::string UsbSerialFromInstanceId(const std::string& strInstanceId)
{
    size_t nFirst = strInstanceId.find('\\');
    size_t nLast = strInstanceId.rfind('\\');
    if (nFirst == std::string::npos || nLast == nFirst || strInstanceId.find('\\', nFirst + 1) != nLast)
        return std::string();
    // Instance IDs are case-insensitive; the system writes the bus upper-case.
    std::string strBus = strInstanceId.substr(0, nFirst);
    for (char& c : strBus)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string strSerial = strInstanceId.substr(nLast + 1);
    // An interface of a composite device (&MI_nn) is named by the system too.
    if (strBus != "USB" || strSerial.empty() || strSerial.find('&') != std::string::npos
        || strInstanceId.find("&MI_", nFirst) < nLast)
        return std::string();
    return strSerial;
}

std::string UsbPathFromLocationPaths(const char* pMultiText, size_t nSize)
{
    std::string strFirst = FromBuffer(pMultiText, nSize);
    return strFirst.find("USBROOT(") != std::string::npos ? strFirst : std::string();
}

SSetupApi SSetupApi::System()
{
    SSetupApi api;
    api.pGetClassDevs = SetupDiGetClassDevsA;
    api.pEnumDeviceInterfaces = SetupDiEnumDeviceInterfaces;
    api.pGetDeviceInterfaceDetail = SetupDiGetDeviceInterfaceDetailA;
    api.pGetDeviceRegistryProperty = SetupDiGetDeviceRegistryPropertyA;
    api.pDestroyDeviceInfoList = SetupDiDestroyDeviceInfoList;
    api.pGetDeviceInstanceId = SetupDiGetDeviceInstanceIdA;
    return api;
}

std::string ErrorText(const char* pszText, DWORD dwError)
{
    char code[32];
    std::snprintf(code, sizeof code, " (err=%lx)", static_cast<unsigned long>(dwError));
    return std::string(pszText) + code;
}

int CWin32PortSource::ChooseMethod(DWORD dwMajorVersion, DWORD dwPlatformId)
{
    if (dwMajorVersion >= 5)
        return 0;
    if (dwPlatformId == VER_PLATFORM_WIN32_NT)
        return 1;
    return 2;
}

void CWin32PortSource::Enumerate(CSerInfoArray& list)
{
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version; // 148
#if defined(_MSC_VER)
#pragma warning(suppress : 4996) // the version query is deprecated, and still the one this rule needs
#endif
    BOOL bOk = GetVersionExA(&version);
    if (!bOk)
        throw ErrorText("Could not get OS version.", GetLastError());
    switch (ChooseMethod(version.dwMajorVersion, version.dwPlatformId)) {
    case 0:
        EnumerateByDeviceInterface(list);
        break;
    case 1:
        EnumerateByProbing(list);
        break;
    default:
        EnumerateByLegacyRegistry(list);
        break;
    }
}

bool CWin32PortSource::CanOpen(const std::string& strPath)
{
    HANDLE hPort = CreateFileA(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hPort == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(hPort);
    return true;
}

void CWin32PortSource::EnumerateByDeviceInterface(CSerInfoArray& list)
{
    HDEVINFO hSet = INVALID_HANDLE_VALUE;
    BYTE* pDetailBuffer = nullptr;
    try {
        hSet = m_api.pGetClassDevs(&kGuidDevInterfaceComPort, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (hSet == INVALID_HANDLE_VALUE)
            throw ErrorText("SetupDiGetClassDevs failed.", GetLastError());

        // The size fields are the structures' own: 5 and 28 in a 32-bit
        // program, 8 and 32 in a 64-bit one, where SetupAPI refuses others.
        // The buffer holds the size field and a path of up to 256 characters
        // with its terminator either way.
        pDetailBuffer = new BYTE[kDetailBufferSize];
        std::memset(pDetailBuffer, 0, kDetailBufferSize);
        SP_DEVICE_INTERFACE_DETAIL_DATA_A* pDetail =
            reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(pDetailBuffer);
        pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVICE_INTERFACE_DATA interfaceData;
        std::memset(&interfaceData, 0, sizeof interfaceData);
        interfaceData.cbSize = sizeof interfaceData;

        for (DWORD dwIndex = 0;; ++dwIndex) {
            if (!m_api.pEnumDeviceInterfaces(hSet, nullptr, &kGuidDevInterfaceComPort, dwIndex, &interfaceData)) {
                DWORD dwError = GetLastError();
                if (dwError == ERROR_NO_MORE_ITEMS)
                    break;
                throw ErrorText("SetupDiEnumDeviceInterfaces failed.", dwError);
            }
            SP_DEVINFO_DATA devInfo;
            std::memset(&devInfo, 0, sizeof devInfo);
            devInfo.cbSize = sizeof devInfo;
            if (!m_api.pGetDeviceInterfaceDetail(hSet, &interfaceData, pDetail, kDetailBufferSize, nullptr, &devInfo))
                throw ErrorText("SetupDiGetDeviceInterfaceDetail failed.", GetLastError());
            const size_t nPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
            std::string strPath = FromBuffer(pDetail->DevicePath, kDetailBufferSize - nPathOffset);

            std::string strFriendly, strDescription, strLocation;
            bool bFriendly = ReadProperty(m_api, hSet, &devInfo, SPDRP_FRIENDLYNAME, &strFriendly);
            bool bDescription = bFriendly && ReadProperty(m_api, hSet, &devInfo, SPDRP_DEVICEDESC, &strDescription);
            bool bLocation = ReadProperty(m_api, hSet, &devInfo, SPDRP_LOCATION_INFORMATION, &strLocation);

            if (bFriendly && bDescription) {
                SSerInfo info;
                info.strPath = strPath;
                info.strDisplayName = strFriendly;
                info.bOnUsb = (bLocation && strLocation.compare(0, 3, "USB") == 0) ? 1 : 0;
                info.strDescription = strDescription;
                ReadUsbIdentity(m_api, hSet, &devInfo, &info);
                list.Add(info);
            }
        }
    } catch (const std::string&) {
        delete[] pDetailBuffer;
        if (hSet != INVALID_HANDLE_VALUE)
            m_api.pDestroyDeviceInfoList(hSet);
        throw;
    }
    delete[] pDetailBuffer;
    m_api.pDestroyDeviceInfoList(hSet);
}

void CWin32PortSource::EnumerateByProbing(CSerInfoArray& list)
{
    // Listed whether such a port exists or not; nothing is opened.
    for (int n = 1; n <= 16; ++n) {
        SSerInfo info;
        info.strComName = "COM" + std::to_string(n);
        info.strPath = kPathPrefix + info.strComName;
        list.Add(info);
    }
}

void CWin32PortSource::EnumerateByLegacyRegistry(CSerInfoArray& list)
{
    HKEY hEnum = nullptr;
    if (RegOpenKeyExA(m_hLegacyRoot, "Enum", 0, KEY_READ, &hEnum) != ERROR_SUCCESS)
        throw std::string("Could not read from HKLM\\Enum");
    HKEY hBus = nullptr;
    HKEY hKind = nullptr;
    try {
        std::string strBus;
        for (DWORD dwBus = 0; EnumSubKey(hEnum, dwBus, &strBus); ++dwBus) {
            if (RegOpenKeyExA(hEnum, strBus.c_str(), 0, KEY_READ, &hBus) != ERROR_SUCCESS) {
                hBus = nullptr;
                throw "Could not read from HKLM\\Enum\\" + strBus;
            }
            const int bUsbBranch = strBus == "USBPORTS" ? 1 : 0;
            std::string strKind;
            for (DWORD dwKind = 0; EnumSubKey(hBus, dwKind, &strKind); ++dwKind) {
                if (!bUsbBranch && strKind != "*PNP0500" && strKind != "*PNP0501")
                    continue;
                if (RegOpenKeyExA(hBus, strKind.c_str(), 0, KEY_READ, &hKind) != ERROR_SUCCESS) {
                    hKind = nullptr;
                    throw "Could not read from HKLM\\Enum\\" + strBus + "\\" + strKind;
                }
                ScanPnpBranch(hKind, bUsbBranch, list);
                RegCloseKey(hKind);
                hKind = nullptr;
            }
            RegCloseKey(hBus);
            hBus = nullptr;
        }
    } catch (const std::string&) {
        if (hKind)
            RegCloseKey(hKind);
        if (hBus)
            RegCloseKey(hBus);
        RegCloseKey(hEnum);
        throw;
    }
    RegCloseKey(hEnum);
}

void CWin32PortSource::ScanPnpBranch(HKEY hKindKey, int bOnUsb, CSerInfoArray& list)
{
    HKEY hInstance = nullptr;
    try {
        std::string strInstance;
        for (DWORD dwIndex = 0; EnumSubKey(hKindKey, dwIndex, &strInstance); ++dwIndex) {
            if (RegOpenKeyExA(hKindKey, strInstance.c_str(), 0, KEY_READ, &hInstance) != ERROR_SUCCESS) {
                hInstance = nullptr;
                throw "Could not read from HKLM\\Enum\\...\\" + strInstance;
            }
            std::string strPortName;
            if (ReadValue(hInstance, "PORTNAME", &strPortName)) {
                SSerInfo info;
                ReadValue(hInstance, "FRIENDLYNAME", &info.strDisplayName);
                info.strPath = kPathPrefix + strPortName;
                info.strComName = strPortName;
                info.bOnUsb = bOnUsb ? 1 : 0;
                // A port that the tree holds twice stays where it was first
                // found, with the data of the branch met last.
                int nFound = -1;
                for (int i = 0; i < list.GetSize(); ++i) {
                    if (list[i].strComName == strPortName) {
                        nFound = i;
                        break;
                    }
                }
                if (nFound >= 0)
                    list.SetAt(nFound, info);
                else
                    list.Add(info);
            }
            RegCloseKey(hInstance);
            hInstance = nullptr;
        }
    } catch (const std::string&) {
        if (hInstance)
            RegCloseKey(hInstance);
        throw;
    }
}

IPortSource& PlatformPortSource()
{
    static CWin32PortSource source;
    return source;
}

// The Windows sources of the port list: SetupAPI's COM-port interfaces,
// probing COM1..COM16, or the legacy device tree under HKLM\Enum, chosen by
// the system's version. Failures are thrown as the message text.
#pragma once

#include "EnumSerialPorts.h"

#include <windows.h>
#include <setupapi.h>

// The SetupAPI calls of the device-interface method. The system's own by
// default; tests put scripted ones in their place.
struct SSetupApi
{
    HDEVINFO(WINAPI* pGetClassDevs)(const GUID*, PCSTR, HWND, DWORD);
    BOOL(WINAPI* pEnumDeviceInterfaces)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);
    BOOL(WINAPI* pGetDeviceInterfaceDetail)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A,
                                            DWORD, PDWORD, PSP_DEVINFO_DATA);
    BOOL(WINAPI* pGetDeviceRegistryProperty)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
    BOOL(WINAPI* pDestroyDeviceInfoList)(HDEVINFO);
    BOOL(WINAPI* pGetDeviceInstanceId)(HDEVINFO, PSP_DEVINFO_DATA, PSTR, DWORD, PDWORD);

    static SSetupApi System();
};

class CWin32PortSource : public IPortSource
{
public:
    // hLegacyRoot holds the key "Enum" of the legacy walk; tests give a
    // scratch key of their own.
    explicit CWin32PortSource(HKEY hLegacyRoot = HKEY_LOCAL_MACHINE, const SSetupApi& api = SSetupApi::System())
        : m_hLegacyRoot(hLegacyRoot), m_api(api)
    {
    }

    void Enumerate(CSerInfoArray& list) override;
    bool CanOpen(const std::string& strPath) override;

    void EnumerateByDeviceInterface(CSerInfoArray& list);
    void EnumerateByProbing(CSerInfoArray& list);
    void EnumerateByLegacyRegistry(CSerInfoArray& list);
    void ScanPnpBranch(HKEY hKindKey, int bOnUsb, CSerInfoArray& list);

    // Which method a version selects: 0 device interfaces, 1 probing,
    // 2 the legacy registry.
    static int ChooseMethod(DWORD dwMajorVersion, DWORD dwPlatformId);

    // Sizes of the fixed buffers.
    static const DWORD kDetailBufferSize = 261;
    static const DWORD kPropertyBufferSize = 256;
    static const DWORD kKeyNameSize = 128;
    static const DWORD kValueBufferSize = 128;
    // The USB identity's own reads, which the window does not use.
    static const DWORD kIdentityBufferSize = 1024;

private:
    HKEY m_hLegacyRoot;
    SSetupApi m_api;
};

// The USB serial number in a device instance ID: a USB device with a serial
// number is named by it (USB\VID_0403&PID_6001\ZT0042); one without gets a
// generated name with '&' in it, and other buses their own, which give none.
std::string UsbSerialFromInstanceId(const std::string& strInstanceId);

// The first of the location paths (a list of texts, each ended by a null)
// when it leads through a USB root hub, such as
// PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3); empty otherwise.
std::string UsbPathFromLocationPaths(const char* pMultiText, size_t nSize);

// "<text> (err=<code in lower-case hex>)".
std::string ErrorText(const char* pszText, DWORD dwError);

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

private:
    HKEY m_hLegacyRoot;
    SSetupApi m_api;
};

// "<text> (err=<code in lower-case hex>)".
std::string ErrorText(const char* pszText, DWORD dwError);

// The Windows sources of the port list: SetupAPI's COM-port interfaces,
// probing COM1..COM16, or the legacy device tree under HKLM\Enum, chosen by
// the system's version. Failures are thrown as the message text.
#pragma once

#include "EnumSerialPorts.h"

#include <windows.h>

class CWin32PortSource : public IPortSource
{
public:
    // hLegacyRoot holds the key "Enum" of the legacy walk; tests give a
    // scratch key of their own.
    explicit CWin32PortSource(HKEY hLegacyRoot = HKEY_LOCAL_MACHINE) : m_hLegacyRoot(hLegacyRoot) {}

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
};

// "<text> (err=<code in lower-case hex>)".
std::string ErrorText(const char* pszText, DWORD dwError);

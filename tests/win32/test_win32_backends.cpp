// The Win32 back ends, run under Wine: the control blocks the serial port
// applies, the firmware resource of the executable, and the port list
// methods (the legacy walk on a scratch registry tree of our own).
#include <gtest/gtest.h>

#include "discovery/EnumSerialPorts_win32.h"
#include "BuildVersion.h"
#include "serial/CommPort.h"
#include "serial/CommPort_win32.h"
#include "update/Resources.h"
#include "update/UpdateDlgDlg.h"
#include "support/FakeSurface.h"
#include "RegisterPort.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

TEST(Win32CommPort, LineSettingsAreBinary8N1WithOnlyFBinaryInTheFlagsWord)
{
    DCB dcb;
    std::memset(&dcb, 0xA5, sizeof dcb); // nothing of an earlier block may survive
    BuildLineSettings(921600, &dcb);
    EXPECT_EQ(sizeof(DCB), dcb.DCBlength);
    EXPECT_EQ(921600u, dcb.BaudRate);
    uint32_t nFlags = 0;
    std::memcpy(&nFlags, reinterpret_cast<const uint8_t*>(&dcb) + offsetof(DCB, BaudRate) + sizeof dcb.BaudRate,
                sizeof nFlags);
    EXPECT_EQ(1u, nFlags);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
    EXPECT_EQ(0, dcb.XonLim);
    EXPECT_EQ(0, dcb.XoffLim);
    EXPECT_EQ(0, dcb.XonChar);
    EXPECT_EQ(0, dcb.XoffChar);
    EXPECT_EQ(0, dcb.ErrorChar);
    EXPECT_EQ(0, dcb.EofChar);
    EXPECT_EQ(0, dcb.EvtChar);
}

TEST(Win32CommPort, ReadTimeoutsInAllThreeReadFieldsAndNoneForWrites)
{
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0xA5, sizeof timeouts);
    BuildReadTimeouts(4000, 4000, 4000, &timeouts);
    EXPECT_EQ(4000u, timeouts.ReadIntervalTimeout);
    EXPECT_EQ(4000u, timeouts.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(4000u, timeouts.ReadTotalTimeoutConstant);
    EXPECT_EQ(0u, timeouts.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(0u, timeouts.WriteTotalTimeoutConstant);
}

TEST(Win32CommPort, APortWithNoDeviceDoesNotOpenAndTheObjectStaysUsable)
{
    CCommPort port;
    EXPECT_EQ(0, port.Open("\\\\.\\COM211", 921600, 2000));
    EXPECT_FALSE(port.IsOpen());
    // The command line tells "no such device", not a refused line setting.
    EXPECT_EQ(kOpenNoDevice, port.LastOpenError().eReason);
    uint8_t by = 0;
    EXPECT_EQ(0, port.Read(&by, 1));
    EXPECT_EQ(0, port.Write(&by, 1));
    EXPECT_EQ(0, port.SetTimeouts(1));
    EXPECT_EQ(1, port.Close());
    EXPECT_EQ(1, port.Close());
}

TEST(Win32Resources, TheExecutableCarriesThePackagedImageAsFile143)
{
    const char* pText = nullptr;
    uint32_t nSize = 0;
    ASSERT_TRUE(ProgramResources().Find("FILE", 143, &pText, &nSize));
    EXPECT_EQ(207776u, nSize);
    EXPECT_EQ(0, std::strncmp(pText, "0212", 4));
    EXPECT_FALSE(ProgramResources().Find("FILE", 144, &pText, &nSize));
    EXPECT_FALSE(ProgramResources().Find("DATA", 143, &pText, &nSize));

    // The window logic decodes it through the same lookup.
    CFakeSurface surface;
    CVirtualClock clock;
    std::unique_ptr<CUpdateDlgDlg> pDlg(new CUpdateDlgDlg(surface, clock));
    EXPECT_EQ(ZT_FIRMWARE_BYTES, pDlg->LoadFirmwareImage(pDlg->m_image));
    EXPECT_EQ(0x02, pDlg->m_image[0]);
    EXPECT_EQ(0x12, pDlg->m_image[1]);
}

TEST(Win32PortSource, MethodByVersion)
{
    EXPECT_EQ(0, CWin32PortSource::ChooseMethod(5, VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(0, CWin32PortSource::ChooseMethod(10, VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(1, CWin32PortSource::ChooseMethod(4, VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(2, CWin32PortSource::ChooseMethod(4, VER_PLATFORM_WIN32_WINDOWS));
    EXPECT_EQ("SetupDiGetClassDevs failed. (err=7a)", ErrorText("SetupDiGetClassDevs failed.", 0x7A));
}

TEST(Win32PortSource, ProbingListsSixteenNamesAndNormalisesThem)
{
    CWin32PortSource source;
    CSerInfoArray raw;
    source.EnumerateByProbing(raw);
    ASSERT_EQ(16, raw.GetSize());
    EXPECT_EQ("\\\\.\\COM1", raw[0].strPath);
    EXPECT_EQ("COM16", raw[15].strComName);
    EXPECT_TRUE(raw[3].strDisplayName.empty());

    // Normalised by the portable rule: display name and description from
    // the COM name.
    class CProbing : public IPortSource
    {
    public:
        void Enumerate(CSerInfoArray& list) override { CWin32PortSource().EnumerateByProbing(list); }
        bool CanOpen(const std::string&) override { return true; }
    } probing;
    CEnumSerialPorts ports(&probing);
    CSerInfoArray list;
    EXPECT_EQ(16, ports.EnumerateAll(list, 0));
    EXPECT_EQ("COM7", list[6].strDisplayName);
    EXPECT_EQ("COM7", list[6].strDescription);
    EXPECT_EQ(0, list[6].bOnUsb);
}

TEST(Win32PortSource, DeviceInterfacesUnderThisSystemDoNotFail)
{
    // Whatever the system lists (under Wine, only what a test registered),
    // every record has a path and a friendly name.
    CWin32PortSource source;
    CSerInfoArray list;
    EXPECT_NO_THROW(source.EnumerateByDeviceInterface(list));
    for (int i = 0; i < list.GetSize(); ++i) {
        EXPECT_FALSE(list[i].strPath.empty());
        EXPECT_FALSE(list[i].strDisplayName.empty());
        EXPECT_TRUE(list[i].strComName.empty());
    }
    CSerInfoArray all;
    EXPECT_NO_THROW(source.Enumerate(all));
}

namespace {

// SetupAPI as a script: interfaces with a path, three properties and the
// USB identity (null: the read fails), failures to inject, and a record of
// the reads.
struct SScriptedInterface
{
    std::string strPath;
    const char* pszFriendly;
    const char* pszDescription;
    const char* pszLocation;
    const char* pszLocationPaths = nullptr; // the first of them
    const char* pszInstanceId = nullptr;
};

struct SSetupScript
{
    std::vector<SScriptedInterface> interfaces;
    DWORD dwClassDevsError = 0; // the set cannot be built
    int nEnumFailAt = -1;       // enumeration fails at this index ...
    DWORD dwEnumError = 0;      // ... with this code
    DWORD dwFlags = 0;
    GUID guid = {};
    std::vector<std::pair<int, DWORD>> reads; // (interface, property)
    int nDestroyed = 0;
} g_setup;

HDEVINFO const kScriptSet = reinterpret_cast<HDEVINFO>(0x5E7);
const DWORD kInstanceIdRead = 0x1D; // in the record of reads: the instance ID, not a property

HDEVINFO WINAPI ScriptGetClassDevs(const GUID* pGuid, PCSTR, HWND, DWORD dwFlags)
{
    g_setup.guid = *pGuid;
    g_setup.dwFlags = dwFlags;
    if (g_setup.dwClassDevsError) {
        SetLastError(g_setup.dwClassDevsError);
        return INVALID_HANDLE_VALUE;
    }
    return kScriptSet;
}

BOOL WINAPI ScriptEnum(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD dwIndex, PSP_DEVICE_INTERFACE_DATA pData)
{
    if (static_cast<int>(dwIndex) == g_setup.nEnumFailAt) {
        SetLastError(g_setup.dwEnumError);
        return FALSE;
    }
    if (dwIndex >= g_setup.interfaces.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    pData->Reserved = dwIndex;
    return TRUE;
}

BOOL WINAPI ScriptDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA pData, PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail,
                         DWORD cbDetail, PDWORD, PSP_DEVINFO_DATA pDev)
{
    const std::string& strPath = g_setup.interfaces[pData->Reserved].strPath;
    if (pDetail->cbSize != sizeof *pDetail
        || offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + strPath.size() + 1 > cbDetail) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(pDetail->DevicePath, strPath.c_str(), strPath.size() + 1);
    pDev->DevInst = static_cast<DWORD>(pData->Reserved);
    return TRUE;
}

BOOL WINAPI ScriptProperty(HDEVINFO, PSP_DEVINFO_DATA pDev, DWORD dwProperty, PDWORD, PBYTE pBuffer, DWORD cbBuffer,
                           PDWORD)
{
    const SScriptedInterface& i = g_setup.interfaces[pDev->DevInst];
    g_setup.reads.emplace_back(static_cast<int>(pDev->DevInst), dwProperty);
    const char* psz = dwProperty == SPDRP_FRIENDLYNAME ? i.pszFriendly
        : dwProperty == SPDRP_DEVICEDESC              ? i.pszDescription
        : dwProperty == SPDRP_LOCATION_INFORMATION    ? i.pszLocation
        : dwProperty == SPDRP_LOCATION_PATHS          ? i.pszLocationPaths
                                                      : nullptr;
    if (!psz) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    // The location paths are a list: a second path follows the first, and
    // a second null ends them.
    std::string strValue(psz, std::strlen(psz) + 1);
    if (dwProperty == SPDRP_LOCATION_PATHS)
        strValue += std::string("ACPI(_SB_)#ACPI(PCI0)") + '\0' + '\0';
    if (strValue.size() > cbBuffer) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(pBuffer, strValue.data(), strValue.size());
    return TRUE;
}

BOOL WINAPI ScriptInstanceId(HDEVINFO, PSP_DEVINFO_DATA pDev, PSTR pszId, DWORD cchId, PDWORD)
{
    const char* psz = g_setup.interfaces[pDev->DevInst].pszInstanceId;
    g_setup.reads.emplace_back(static_cast<int>(pDev->DevInst), kInstanceIdRead);
    if (!psz || std::strlen(psz) + 1 > cchId) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(pszId, psz, std::strlen(psz) + 1);
    return TRUE;
}

BOOL WINAPI ScriptDestroy(HDEVINFO hSet)
{
    g_setup.nDestroyed += hSet == kScriptSet ? 1 : 100;
    return TRUE;
}

CWin32PortSource ScriptedSource(const SSetupScript& script)
{
    g_setup = script;
    SSetupApi api = {ScriptGetClassDevs, ScriptEnum, ScriptDetail, ScriptProperty, ScriptDestroy, ScriptInstanceId};
    return CWin32PortSource(HKEY_LOCAL_MACHINE, api);
}

std::string ThrownBy(CWin32PortSource& source, CSerInfoArray& list)
{
    try {
        source.EnumerateByDeviceInterface(list);
    } catch (const std::string& strError) {
        return strError;
    }
    return "(nothing thrown)";
}

} // namespace

TEST(Win32DeviceInterfaces, PropertiesDecideWhatIsListed)
{
    const std::string s255(255, 'n'), s256(256, 'n');
    const std::string strUsb256 = "USB" + std::string(253, 'x');
    SSetupScript script;
    script.interfaces = {
        {"\\\\?\\a", "ZT9047Q USB UART (COM8)", "ZT9047Q USB UART", "USB hub 2, port 1"},
        {"\\\\?\\b", nullptr, "no friendly name", "USB"},         // not listed, description not read
        {"\\\\?\\c", "no description", nullptr, "USB"},           // not listed
        {"\\\\?\\d", s255.c_str(), s255.c_str(), "usb hub"},      // 255 characters fit; "usb" is no USB
        {"\\\\?\\e", s256.c_str(), "too long a name", "USB"},     // 256 do not: not listed
        {"\\\\?\\f", "F", "F port", strUsb256.c_str()},           // an unreadable location: not on USB
        {"\\\\?\\g", "G", "G port", nullptr},
    };
    CWin32PortSource source = ScriptedSource(script);
    CSerInfoArray list;
    source.EnumerateByDeviceInterface(list);

    EXPECT_EQ(0x12u, g_setup.dwFlags);
    EXPECT_EQ(0, std::memcmp(&g_setup.guid, &regport::kComPortInterface, sizeof(GUID)));
    EXPECT_EQ(1, g_setup.nDestroyed);
    ASSERT_EQ(4, list.GetSize());
    EXPECT_EQ("\\\\?\\a", list[0].strPath);
    EXPECT_EQ("", list[0].strComName);
    EXPECT_EQ("ZT9047Q USB UART (COM8)", list[0].strDisplayName);
    EXPECT_EQ("ZT9047Q USB UART", list[0].strDescription);
    EXPECT_EQ(1, list[0].bOnUsb);
    EXPECT_EQ(s255, list[1].strDisplayName);
    EXPECT_EQ(s255, list[1].strDescription);
    EXPECT_EQ(0, list[1].bOnUsb);
    EXPECT_EQ("F", list[2].strDisplayName);
    EXPECT_EQ(0, list[2].bOnUsb);
    EXPECT_EQ("G", list[3].strDisplayName);
    EXPECT_EQ(0, list[3].bOnUsb);

    // Friendly name, the description only after it, the location always;
    // the USB identity after them, and only for a port that is listed.
    const DWORD F = SPDRP_FRIENDLYNAME, D = SPDRP_DEVICEDESC, L = SPDRP_LOCATION_INFORMATION;
    const DWORD P = SPDRP_LOCATION_PATHS, I = kInstanceIdRead;
    const std::vector<std::pair<int, DWORD>> expected = {
        {0, F}, {0, D}, {0, L}, {0, P}, {0, I}, {1, F}, {1, L}, {2, F}, {2, D}, {2, L},
        {3, F}, {3, D}, {3, L}, {3, P}, {3, I}, {4, F}, {4, L}, {5, F}, {5, D}, {5, L}, {5, P}, {5, I},
        {6, F}, {6, D}, {6, L}, {6, P}, {6, I}};
    EXPECT_EQ(expected, g_setup.reads);
}

TEST(Win32DeviceInterfaces, UsbIdentityFromTheLocationPathAndTheInstanceId)
{
    const char* pszHub = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)";
    SSetupScript script;
    script.interfaces = {
        {"\\\\?\\a", "A (COM8)", "A", "Port_#0003.Hub_#0002", pszHub, "USB\\VID_0403&PID_6001\\ZT0042"},
        // No serial number: the system makes up the instance ID.
        {"\\\\?\\b", "B (COM9)", "B", "Port_#0001.Hub_#0002", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)",
         "USB\\VID_0403&PID_6001\\5&2A3B4C5D&0&1"},
        // An interface of a composite device, named by the system as well.
        {"\\\\?\\c", "C (COM10)", "C", "0000.0014.0000.004.000", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USBMI(0)",
         "USB\\VID_1A2B&PID_0001&MI_00\\ZT0044"},
        // A port on the mainboard: no USB identity at all.
        {"\\\\?\\d", "D (COM1)", "D", "", "ACPI(_SB_)#ACPI(PCI0)#ACPI(LPCB)#ACPI(UAR1)", "ACPI\\PNP0501\\0"},
        // Nothing readable.
        {"\\\\?\\e", "E (COM11)", "E", nullptr},
    };
    CWin32PortSource source = ScriptedSource(script);
    CSerInfoArray list;
    source.EnumerateByDeviceInterface(list);
    ASSERT_EQ(5, list.GetSize());
    EXPECT_EQ(pszHub, list[0].strUsbPath);
    EXPECT_EQ("ZT0042", list[0].strUsbSerial);
    EXPECT_EQ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)", list[1].strUsbPath);
    EXPECT_EQ("", list[1].strUsbSerial);
    EXPECT_EQ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USBMI(0)", list[2].strUsbPath);
    EXPECT_EQ("", list[2].strUsbSerial);
    for (int i : {3, 4}) {
        EXPECT_EQ("", list[i].strUsbPath);
        EXPECT_EQ("", list[i].strUsbSerial);
    }
    EXPECT_EQ("ZT0042", UsbSerialFromInstanceId("usb\\VID_0403&PID_6001\\ZT0042"));
    EXPECT_EQ("", UsbSerialFromInstanceId("USB\\VID_0403&PID_6001"));
    EXPECT_EQ("", UsbSerialFromInstanceId("USB\\VID_0403&PID_6001\\"));
}

TEST(Win32DeviceInterfaces, EveryFailureIsThrownWithItsCodeAndTheSetIsFreed)
{
    CSerInfoArray list;
    SSetupScript script;
    script.dwClassDevsError = ERROR_ACCESS_DENIED;
    CWin32PortSource noSet = ScriptedSource(script);
    EXPECT_EQ("SetupDiGetClassDevs failed. (err=5)", ThrownBy(noSet, list));
    EXPECT_EQ(0, g_setup.nDestroyed);

    script = SSetupScript();
    script.interfaces = {{"\\\\?\\a", "A", "A port", "USB"}, {"\\\\?\\b", "B", "B port", "USB"}};
    script.nEnumFailAt = 1;
    script.dwEnumError = ERROR_INVALID_PARAMETER;
    CWin32PortSource enumFails = ScriptedSource(script);
    EXPECT_EQ("SetupDiEnumDeviceInterfaces failed. (err=57)", ThrownBy(enumFails, list));
    EXPECT_EQ(1, g_setup.nDestroyed);
    EXPECT_EQ(1, list.GetSize()); // the record before the error stays

    // A device path of 256 characters fits the detail buffer, 257 do not.
    script = SSetupScript();
    script.interfaces = {{std::string(256, 'p'), "A", "A port", "USB"}, {std::string(257, 'p'), "B", "B", "USB"}};
    CWin32PortSource longPath = ScriptedSource(script);
    list.SetSize(0);
    EXPECT_EQ("SetupDiGetDeviceInterfaceDetail failed. (err=7a)", ThrownBy(longPath, list));
    EXPECT_EQ(1, g_setup.nDestroyed);
    ASSERT_EQ(1, list.GetSize());
    EXPECT_EQ(std::string(256, 'p'), list[0].strPath);
}

TEST(Win32DeviceInterfaces, APortRegisteredInTheSystemIsListed)
{
    // Wine lists the COM-port interfaces that a program registers.
    regport::Remove("ZTUNIT");
    ASSERT_EQ("", regport::Register("ZTUNIT", "Unit Test Port (COM41)", "Unit Test Port", "USB hub 1, port 4"));
    ASSERT_EQ("", regport::Register("ZTUNIT", nullptr, "Nameless Port", "USB hub 1, port 5"));
    CWin32PortSource source;
    CSerInfoArray list;
    source.EnumerateByDeviceInterface(list);
    regport::Remove("ZTUNIT");
    int nFound = 0;
    for (int i = 0; i < list.GetSize(); ++i) {
        EXPECT_NE("Nameless Port", list[i].strDescription);
        if (list[i].strDisplayName != "Unit Test Port (COM41)")
            continue;
        ++nFound;
        EXPECT_EQ("Unit Test Port", list[i].strDescription);
        EXPECT_EQ(1, list[i].bOnUsb);
        EXPECT_EQ(0u, list[i].strPath.find("\\\\?\\"));
    }
    EXPECT_EQ(1, nFound);
}

TEST(Win32DeviceInterfaces, AUsbPortRegisteredInTheSystemHasItsSerialNumber)
{
    // A bridge with a serial number is named USB\VID_..&PID_..\<serial>.
    // The system works out location paths from the bus itself and takes
    // none from a program, so a device registered here has none: its
    // location stays unknown (the scripted test above covers it).
    const char* pszId = "USB\\VID_0403&PID_6001\\ZTWINE01";
    regport::Remove(pszId);
    ASSERT_EQ("", regport::Register(pszId, "Unit Test Port (COM42)", "Unit Test Port", "Port_#0003.Hub_#0002"));
    CWin32PortSource source;
    CSerInfoArray list;
    source.EnumerateByDeviceInterface(list);
    EXPECT_EQ(1, regport::Remove(pszId));
    int nFound = 0;
    for (int i = 0; i < list.GetSize(); ++i) {
        if (list[i].strDisplayName != "Unit Test Port (COM42)")
            continue;
        ++nFound;
        EXPECT_EQ("ZTWINE01", list[i].strUsbSerial);
        EXPECT_EQ("", list[i].strUsbPath);
    }
    EXPECT_EQ(1, nFound);
}

namespace {

// A scratch tree Enum\bus\kind\instance under HKCU, removed again.
class CLegacyTree : public ::testing::Test
{
protected:
    // A key of this process's own: ctest runs each case as a program of its
    // own, two at a time in one prefix, and a shared key let one case's
    // tree appear under the other (seen: the missing key found present).
    void SetUp() override
    {
        m_strRoot = "Software\\ZT9047QTest-" + std::to_string(GetCurrentProcessId());
        RegDeleteTreeA(HKEY_CURRENT_USER, m_strRoot.c_str());
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, m_strRoot.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &m_hRoot, nullptr));
    }
    void TearDown() override
    {
        RegCloseKey(m_hRoot);
        RegDeleteTreeA(HKEY_CURRENT_USER, m_strRoot.c_str());
    }
    void AddInstance(const std::string& strPath, const char* pszPort, const char* pszFriendly)
    {
        HKEY hKey = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(m_hRoot, strPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 &hKey, nullptr));
        if (pszPort)
            RegSetValueExA(hKey, "PORTNAME", 0, REG_SZ, reinterpret_cast<const BYTE*>(pszPort),
                           static_cast<DWORD>(std::strlen(pszPort) + 1));
        if (pszFriendly)
            RegSetValueExA(hKey, "FRIENDLYNAME", 0, REG_SZ, reinterpret_cast<const BYTE*>(pszFriendly),
                           static_cast<DWORD>(std::strlen(pszFriendly) + 1));
        RegCloseKey(hKey);
    }
    std::string m_strRoot;
    HKEY m_hRoot = nullptr;
};

} // namespace

TEST_F(CLegacyTree, WalkTakesSerialKindsAndUsbPortsAndMergesDuplicates)
{
    AddInstance("Enum\\BIOS\\*PNP0501\\0000", "COM1", "Communications Port (COM1)");
    AddInstance("Enum\\BIOS\\*PNP0501\\0001", "COM2", nullptr);           // no friendly name
    AddInstance("Enum\\BIOS\\*PNP0400\\0000", "LPT1", "Printer Port");    // not a serial kind
    AddInstance("Enum\\BIOS\\*PNP0500\\0000", nullptr, "No port name");   // skipped
    AddInstance("Enum\\USBPORTS\\ANYKIND\\0000", "COM1", "ZT9047Q USB UART (COM1)");
    AddInstance("Enum\\USBPORTS\\ANYKIND\\0001", "COM5", std::string(140, 'x').c_str()); // too long: missing

    CWin32PortSource source(m_hRoot);
    CSerInfoArray list;
    source.EnumerateByLegacyRegistry(list);
    ASSERT_EQ(3, list.GetSize());
    // COM1 stays where it was first found, with the USB branch's data.
    EXPECT_EQ("COM1", list[0].strComName);
    EXPECT_EQ("\\\\.\\COM1", list[0].strPath);
    EXPECT_EQ("ZT9047Q USB UART (COM1)", list[0].strDisplayName);
    EXPECT_EQ(1, list[0].bOnUsb);
    EXPECT_EQ("COM2", list[1].strComName);
    EXPECT_EQ("", list[1].strDisplayName);
    EXPECT_EQ(0, list[1].bOnUsb);
    EXPECT_EQ("COM5", list[2].strComName);
    EXPECT_EQ("", list[2].strDisplayName);
    EXPECT_EQ(1, list[2].bOnUsb);
}

TEST_F(CLegacyTree, MissingEnumKeyIsTheReadError)
{
    CWin32PortSource source(m_hRoot);
    CSerInfoArray list;
    try {
        source.EnumerateByLegacyRegistry(list);
        FAIL() << "no error thrown";
    } catch (const std::string& strError) {
        EXPECT_EQ("Could not read from HKLM\\Enum", strError);
    }
}

// The Win32 back ends, run under Wine: the control blocks the serial port
// applies, the firmware resource of the executable, and the port list
// methods (the legacy walk on a scratch registry tree of our own).
#include <gtest/gtest.h>

#include "discovery/EnumSerialPorts_win32.h"
#include "serial/CommPort.h"
#include "serial/CommPort_win32.h"
#include "update/Resources.h"
#include "update/UpdateDlgDlg.h"
#include "support/FakeSurface.h"

#include <cstring>
#include <memory>

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
    EXPECT_EQ(103888, pDlg->LoadFirmwareImage(pDlg->m_image));
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
    // Wine lists no COM-port interfaces; on Windows every record that comes
    // has a path and a friendly name.
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

// A scratch tree Enum\bus\kind\instance under HKCU, removed again.
class CLegacyTree : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, kRoot);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kRoot, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 &m_hRoot, nullptr));
    }
    void TearDown() override
    {
        RegCloseKey(m_hRoot);
        RegDeleteTreeA(HKEY_CURRENT_USER, kRoot);
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
    static constexpr const char* kRoot = "Software\\ZT9047QTest";
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

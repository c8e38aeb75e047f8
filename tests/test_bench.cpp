// The bench's port filters and slot names, and the USB identity in --list.
#include "app/cli/PortList.h"
#include "app/cli/station/Bench.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

TEST(BenchFilter, APathTakesThePortThereAndEveryPortBehindIt)
{
    EXPECT_TRUE(UsbPathMatches("1-2.3", "1-2.3"));
    EXPECT_TRUE(UsbPathMatches("1-2.3", "1-2"));
    EXPECT_TRUE(UsbPathMatches("1-2.3.1", "1-2"));
    EXPECT_TRUE(UsbPathMatches("1-2.3", "1"));
    EXPECT_TRUE(UsbPathMatches("1-2.3", "1-2."));
    // Only whole hub ports: 1-2 is not above 1-20 or 1-2.30's sibling 1-2.3.
    EXPECT_FALSE(UsbPathMatches("1-20", "1-2"));
    EXPECT_FALSE(UsbPathMatches("1-2.30", "1-2.3"));
    EXPECT_FALSE(UsbPathMatches("11-2", "1"));
    EXPECT_FALSE(UsbPathMatches("1-2", "1-2.3"));
    EXPECT_FALSE(UsbPathMatches("", "1"));
    const std::string strHub = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";
    EXPECT_TRUE(UsbPathMatches(strHub + "#USB(3)", strHub));
    EXPECT_FALSE(UsbPathMatches("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(20)", strHub));
}

TEST(BenchFilter, EachKindGivenMustMatchOneOfItsValues)
{
    std::string strError;
    CUsbFilter filter;
    EXPECT_TRUE(filter.IsEmpty());
    EXPECT_TRUE(filter.Passes("", "")); // no filter: every port
    ASSERT_TRUE(filter.AddPath("1-2", &strError));
    ASSERT_TRUE(filter.AddPath("3-1", &strError));
    EXPECT_TRUE(filter.Passes("3-1.4", ""));
    EXPECT_FALSE(filter.Passes("2-1", "ZT0042"));
    ASSERT_TRUE(filter.AddSerialPrefix("zt00", &strError));
    ASSERT_TRUE(filter.AddSerialPrefix("QA", &strError));
    EXPECT_TRUE(filter.Passes("1-2.3", "ZT0042")); // case does not matter
    EXPECT_TRUE(filter.Passes("1-2.4", "QA7"));
    EXPECT_FALSE(filter.Passes("1-2.3", "")); // no serial number: not taken
    EXPECT_FALSE(filter.Passes("1-2.3", "Z"));
    EXPECT_FALSE(filter.Passes("4-1", "ZT0042"));

    EXPECT_FALSE(filter.AddPath("", &strError));
    EXPECT_EQ("--usb-path needs a value without blanks, not ''", strError);
    EXPECT_FALSE(filter.AddSerialPrefix("ZT 00", &strError));
    EXPECT_EQ("--usb-serial needs a value without blanks, not 'ZT 00'", strError);
}

TEST(BenchSlots, NamesBySlotFromAFileWithCommentsAndWindowsLineEnds)
{
    const std::string strWindowsPath = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)";
    CSlotMap slots;
    std::string strError;
    ASSERT_TRUE(slots.Parse("\xEF\xBB\xBF# bench 4, left hub\r\n"
                            "A1  1-2.1\r\n"
                            "\r\n"
                            "  A2\t1-2.2   # the loose cable\r\n"
                            "W1 " + strWindowsPath + "\n"
                            "A3 1-2.3",
                            "bench.slots", &strError))
        << strError;
    ASSERT_EQ(4u, slots.Slots().size());
    EXPECT_EQ(4, slots.Slots()[1].nLine);
    EXPECT_EQ("A2", slots.NameOf("1-2.2"));
    EXPECT_EQ("W1", slots.NameOf(strWindowsPath));
    EXPECT_EQ("A3", slots.NameOf("1-2.3"));
    EXPECT_EQ("", slots.NameOf("1-2.3.1")); // a slot is one place, not a hub
    EXPECT_EQ("", slots.NameOf(""));
}

TEST(BenchSlots, BadLinesAndSecondUsesAreNamedByFileAndLine)
{
    const struct
    {
        const char* pszText;
        const char* pszError;
    } cases[] = {
        {"A1 1-2.1\nA2\n", "s.txt:2: expected a slot name and a USB path, such as 'A1 1-2.3'"},
        {"A1 1-2.1 spare\n", "s.txt:1: expected a slot name and a USB path, such as 'A1 1-2.3'"},
        {"1-2.1 A1\n", "s.txt:1: 'A1' is not a USB path such as 1-2.3 (zt9047q-flash --list shows them)"},
        {"A1 1-2.\n", "s.txt:1: '1-2.' is not a USB path such as 1-2.3 (zt9047q-flash --list shows them)"},
        {"A1 1-2.1\n# A2\nA1 1-2.2\n", "s.txt:3: slot A1 is already named on line 1"},
        {"A1 1-2.1\nA2 1-2.1\n", "s.txt:2: USB path 1-2.1 is already slot A1 (line 1)"},
        {"# nothing yet\n\n", "s.txt: no slots in it (lines 'NAME USB_PATH')"},
    };
    for (const auto& c : cases) {
        CSlotMap slots;
        std::string strError;
        EXPECT_FALSE(slots.Parse(c.pszText, "s.txt", &strError)) << c.pszText;
        EXPECT_EQ(c.pszError, strError);
    }
}

TEST(BenchSlots, LoadReadsTheFileAndNamesOneThatCannotBeRead)
{
    namespace fs = std::filesystem;
    fs::path dir;
    std::random_device random;
    do
        dir = fs::temp_directory_path() / ("zt-slots-" + std::to_string(random()));
    while (!fs::create_directory(dir));
    const std::string szDir = dir.string();
    const std::string strFile = szDir + "/bench.slots";
    std::ofstream(strFile) << "A1 1-2.1\nA1 1-2.2\n";
    CSlotMap slots;
    std::string strError;
    EXPECT_FALSE(slots.Load(strFile, &strError));
    EXPECT_EQ(strFile + ":2: slot A1 is already named on line 1", strError);
    EXPECT_FALSE(slots.Load(szDir + "/none", &strError));
    EXPECT_EQ("Cannot read slots file " + szDir + "/none: No such file or directory", strError);
    EXPECT_FALSE(slots.Load(szDir, &strError)); // a directory
    EXPECT_EQ(0u, strError.find("Cannot read slots file " + szDir + ": ")) << strError;
    fs::remove_all(dir);
}

TEST(PortList, TheUsbIdentityEndsEachLineAsFarAsItIsKnown)
{
    class CTwoPorts : public IPortSource
    {
    public:
        void Enumerate(CSerInfoArray& list) override
        {
            SSerInfo a, b, c;
            a.strComName = "COM33";
            a.strPath = "/dev/ttyUSB0";
            a.strDisplayName = "ZT9047Q USB UART (COM33)";
            a.strUsbPath = "1-2.3";
            a.strUsbSerial = "ZT0042";
            b.strComName = "COM34";
            b.strPath = "/dev/ttyUSB1";
            b.strUsbPath = "1-2.4";
            c.strComName = "COM1";
            c.strPath = "/dev/ttyS0";
            list.Add(a);
            list.Add(b);
            list.Add(c);
        }
        bool CanOpen(const std::string&) override { return true; }
    } ports;
    EXPECT_EQ("COM33  /dev/ttyUSB0  ZT9047Q USB UART (COM33)  [instrument]  usb 1-2.3 serial ZT0042\n"
              "COM34  /dev/ttyUSB1  COM34  usb 1-2.4\n"
              "COM1   /dev/ttyS0    COM1\n",
              PortListText(&ports));
}

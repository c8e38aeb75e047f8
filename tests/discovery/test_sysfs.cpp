#include "FakeSysfs.h"

#include "discovery/SysfsPorts.h"
#include "serial/CommPort.h"

#include <gtest/gtest.h>
#include <pty.h>

namespace {

struct SExpected
{
    const char* pszPath;
    const char* pszCom;
    const char* pszDisplay;
    int bOnUsb;
    const char* pszDescription;
};

void ExpectRecord(const SSerInfo& info, const SExpected& e)
{
    EXPECT_EQ(info.strPath, e.pszPath);
    EXPECT_EQ(info.strComName, e.pszCom);
    EXPECT_EQ(info.strDisplayName, e.pszDisplay);
    EXPECT_EQ(info.bOnUsb, e.bOnUsb);
    EXPECT_EQ(info.strDescription, e.pszDescription);
}

int Detect(const CFakeSysfs& tree)
{
    CSysfsPortSource source(tree.Root());
    return CEnumSerialPorts(&source).FindDevicePort();
}

} // namespace

TEST(SysfsPorts, ListsRealPortsWithTheirFieldsInComOrder)
{
    CFakeSysfs tree;
    tree.AddAcm("ttyACM1", "1-3", "ZT Data Logger", "Zentek");
    tree.AddUsbSerial("ttyUSB0", "1-2", "ZT9047Q USB UART", "Zentek Instruments");
    tree.AddUart("ttyS0", "pnp0/00:04", "4");
    for (const char* psz : {"ttyS1", "ttyS2", "ttyS3"})
        tree.AddUart(psz, "platform/serial8250", "0");
    for (const char* psz : {"tty", "tty0", "console", "ptmx"})
        tree.AddVirtual(psz);
    // A bridge that gives no product string.
    tree.AddUsbSerial("ttyUSB3", "1-4", "");

    std::vector<SSysfsTty> ttys = ScanSysfsTtys(tree.Root());
    ASSERT_EQ(ttys.size(), 4u);
    EXPECT_EQ(ttys[1].strName, "ttyUSB0");
    EXPECT_EQ(ttys[1].strManufacturer, "Zentek Instruments");
    EXPECT_EQ(ttys[3].strManufacturer, "Zentek");
    EXPECT_EQ(ttys[2].strProduct, ""); // not the root hub's product above it

    CSerInfoArray raw;
    CSysfsPortSource source(tree.Root());
    source.Enumerate(raw);
    ASSERT_EQ(raw.GetSize(), 4);
    ExpectRecord(raw[2], {"/dev/ttyUSB3", "COM36", "", 1, ""});

    CSerInfoArray list;
    ASSERT_EQ(CEnumSerialPorts(&source).EnumerateAll(list, 0), 4);
    ExpectRecord(list[0], {"/dev/ttyS0", "COM1", "COM1", 0, "COM1"});
    ExpectRecord(list[1], {"/dev/ttyUSB0", "COM33", "ZT9047Q USB UART (COM33)", 1, "ZT9047Q USB UART"});
    ExpectRecord(list[2], {"/dev/ttyUSB3", "COM36", "COM36", 1, "COM36"});
    ExpectRecord(list[3], {"/dev/ttyACM1", "COM66", "ZT Data Logger (COM66)", 1, "ZT Data Logger"});
    EXPECT_EQ(Detect(tree), 33);
}

TEST(SysfsPorts, UsbIdentityIsTheBridgesOwnPathAndSerialNotAHubs)
{
    CFakeSysfs tree;
    tree.AddUsbSerial("ttyUSB0", "1-2.3", "ZT9047Q USB UART", "Zentek", "ZT0042");
    tree.AddAcm("ttyACM0", "1-2.4.1", "ZT9047Q USB UART", "Zentek", "ZT0043");
    tree.AddUsbSerial("ttyUSB1", "1-2.1", "ZT9047Q USB UART"); // no serial, behind a hub that has one
    tree.AddUsbSerial("ttyUSB2", "1-5", "ZT9047Q USB UART");   // on the root hub itself
    tree.AddUart("ttyS0", "pnp0/00:04", "4");

    CSysfsPortSource source(tree.Root());
    CSerInfoArray list;
    ASSERT_EQ(CEnumSerialPorts(&source).EnumerateAll(list, 0), 5);
    const std::pair<const char*, const char*> expected[] = {
        {"", ""}, {"1-2.3", "ZT0042"}, {"1-2.1", ""}, {"1-5", ""}, {"1-2.4.1", "ZT0043"}};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(list[i].strPath);
        EXPECT_EQ(list[i].strUsbPath, expected[i].first);
        EXPECT_EQ(list[i].strUsbSerial, expected[i].second);
    }
    EXPECT_EQ(list[4].strDisplayName, "ZT9047Q USB UART (COM65)");
}

TEST(SysfsPorts, DevicesOutsideTheComNameSpaceAreNotListed)
{
    CFakeSysfs tree;
    tree.AddUsbSerial("ttyUSB32", "1-2", "ZT9047Q USB UART");
    tree.AddUart("ttyXR0", "pci0000:00/0000:00:1c.0", "4");
    tree.AddUart("rfcomm0", "virtual/bt", "");
    tree.AddUart("pts!0", "virtual/pty", "");
    tree.AddUart("ttyAMA31", "platform/fe201000.serial", "32");
    std::vector<SSysfsTty> ttys = ScanSysfsTtys(tree.Root());
    ASSERT_EQ(ttys.size(), 1u);
    EXPECT_EQ(ttys[0].strDevicePath, "/dev/ttyAMA31");
    EXPECT_EQ(ttys[0].nCom, 128);
    EXPECT_EQ(ttys[0].bOnUsb, 0);
    EXPECT_EQ(Detect(tree), -1);
}

TEST(SysfsPorts, EarlierOfTwoMatchingPortsWinsByComNumberNotByName)
{
    CFakeSysfs tree;
    tree.AddAcm("ttyACM0", "1-1", "ZT9047Q USB UART");
    tree.AddUsbSerial("ttyUSB10", "1-2", "ZT9047Q USB UART");
    tree.AddUsbSerial("ttyUSB2", "1-3", "ZT9047Q USB UART");
    EXPECT_EQ(Detect(tree), 35);
}

TEST(SysfsPorts, MissingClassDirectoryIsAnEmptyList)
{
    CFakeSysfs tree;
    CSysfsPortSource source(tree.Root() + "/nothing");
    CSerInfoArray list;
    EXPECT_EQ(CEnumSerialPorts(&source).EnumerateAll(list, 0), 0);
}

TEST(SysfsPorts, UnreadableClassDirectoryThrowsItsTextThroughDetection)
{
    CFakeSysfs tree;
    tree.WriteFile("class/tty", "not a directory"); // ENOTDIR, also for root
    const std::string strText = "Could not read from " + tree.Root() + "/class/tty. (err=14)";
    try {
        Detect(tree);
        FAIL() << "no error";
    } catch (const std::string& str) {
        EXPECT_EQ(str, strText);
    }
}

TEST(SysfsPorts, CanOpenIsAnExclusiveOpenTest)
{
    int nMaster = -1, nSlave = -1;
    char szName[128];
    ASSERT_EQ(openpty(&nMaster, &nSlave, szName, nullptr, nullptr), 0);
    close(nSlave);
    CSysfsPortSource source;
    EXPECT_TRUE(source.CanOpen(szName));
    EXPECT_TRUE(source.CanOpen(szName)); // the test closed it again
    ICommHandle* pHeld = PlatformCommDriver().OpenDevice(szName);
    ASSERT_NE(pHeld, nullptr);
    EXPECT_FALSE(source.CanOpen(szName));
    delete pHeld;
    EXPECT_TRUE(source.CanOpen(szName));
    close(nMaster);
    EXPECT_FALSE(source.CanOpen("/dev/ttyUSB31-none"));
    EXPECT_FALSE(source.CanOpen("/dev/null")); // not a tty
}

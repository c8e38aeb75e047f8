// The port object's own rules, on the simulated device: open once, release
// the device on every failed step, closed ports refuse I/O.
#include "serial/ComNames.h"
#include "support/Rig.h"

#include <gtest/gtest.h>

TEST(CommPort, OpenAppliesTheLineSettingsOnce)
{
    SRig rig;
    CCommPort port(&rig.driver);
    ASSERT_EQ(port.Open("COM5", 921600, 2000), 1);
    EXPECT_EQ(rig.driver.m_nBaud, 921600u);
    EXPECT_EQ(rig.driver.m_nQueueIn, 1024u);
    EXPECT_EQ(rig.driver.m_nQueueOut, 1024u);
    EXPECT_EQ(rig.driver.m_nTimeout, 2000u);

    // A second open is refused and leaves the open port working.
    EXPECT_EQ(port.Open("COM5", 9600, 1), 0);
    EXPECT_EQ(rig.driver.m_nOpens, 1);
    EXPECT_EQ(rig.driver.m_nBaud, 921600u);
    EXPECT_EQ(port.Write("\r\n", 2), 1);
    EXPECT_EQ(rig.Received(), "\r\n");

    // Close twice: 1 both times, the device released once.
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(rig.driver.m_nOpenHandles, 0);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Open("COM5", 921600, 2000), 1);
}

TEST(CommPort, FailedOpensLeaveTheObjectClosedAndReusable)
{
    SRig rig;
    CCommPort port(&rig.driver);
    EXPECT_EQ(port.Open("COM6", 921600, 2000), 0); // no such device
    EXPECT_FALSE(port.IsOpen());

    rig.driver.m_bHeld = true; // another program has it
    EXPECT_EQ(port.Open("COM5", 921600, 2000), 0);
    rig.driver.m_bHeld = false;

    // Each refused step releases the handle; the later steps are not tried.
    rig.driver.m_bRefuseQueues = true;
    rig.driver.m_nBaud = 0;
    EXPECT_EQ(port.Open("COM5", 921600, 2000), 0);
    EXPECT_EQ(rig.driver.m_nBaud, 0u);
    EXPECT_EQ(rig.driver.m_nOpenHandles, 0);
    rig.driver.m_bRefuseQueues = false;

    rig.driver.m_bRefuseLine = true;
    EXPECT_EQ(port.Open("COM5", 921600, 2000), 0);
    EXPECT_EQ(rig.driver.m_nOpenHandles, 0);
    rig.driver.m_bRefuseLine = false;

    rig.driver.m_bRefuseTimeouts = true;
    EXPECT_EQ(port.Open("COM5", 921600, 2000), 0);
    EXPECT_EQ(rig.driver.m_nOpenHandles, 0);
    rig.driver.m_bRefuseTimeouts = false;

    EXPECT_EQ(port.Open("COM5", 921600, 2000), 1);
    EXPECT_EQ(rig.driver.m_nOpenHandles, 1);
}

TEST(CommPort, ClosedPortRefusesEverything)
{
    SRig rig;
    CCommPort port(&rig.driver);
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(port.Read(buf, 1), 0);
    EXPECT_EQ(buf[0], 'a'); // untouched
    EXPECT_EQ(port.Write(buf, 1), 0);
    EXPECT_EQ(port.SetTimeouts(1), 0);
    EXPECT_EQ(rig.driver.m_nReads, 0);
    EXPECT_TRUE(rig.driver.m_writeSizes.empty());
    EXPECT_EQ(port.Close(), 1);
}

TEST(CommPort, ReadSucceedsOnlyForTheWholeCount)
{
    SRig rig;
    rig.model.Config().bSilent = true;
    CCommPort port(&rig.driver);
    ASSERT_EQ(port.Open("COM5", 921600, 10), 1);
    rig.model.Inject("AB", 0);
    char buf[3] = {};
    EXPECT_EQ(port.Read(buf, 3), 0);
    EXPECT_EQ(std::string(buf, 2), "AB"); // what came stays in the buffer

    // The whole limit is t * n + t; a byte at 5 s still makes a one-byte read at t = 4000.
    port.SetTimeouts(4000);
    uint64_t nNow = rig.clock.Now();
    rig.model.Inject("Z", (nNow + 5000) * 1000);
    EXPECT_EQ(port.Read(buf, 1), 1);
    EXPECT_EQ(buf[0], 'Z');
    EXPECT_EQ(rig.clock.Now() - nNow, 5000u);
    nNow = rig.clock.Now();
    EXPECT_EQ(port.Read(buf, 1), 0);
    EXPECT_EQ(rig.clock.Now() - nNow, 8000u);
}

TEST(ComNames, TheFixedTable)
{
    struct SCase
    {
        int nCom;
        const char* pszPath;
    };
    const SCase cases[] = {
        {1, "/dev/ttyS0"},     {32, "/dev/ttyS31"},   {33, "/dev/ttyUSB0"}, {64, "/dev/ttyUSB31"},
        {65, "/dev/ttyACM0"},  {96, "/dev/ttyACM31"}, {97, "/dev/ttyAMA0"}, {128, "/dev/ttyAMA31"},
        {129, "/dev/pts/0"},   {256, "/dev/pts/127"},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(ComNumberToDevicePath(c.nCom), c.pszPath);
        EXPECT_EQ(DevicePathToComNumber(c.pszPath), c.nCom);
    }
    EXPECT_EQ(ComNumberToDevicePath(0), "");
    EXPECT_EQ(ComNumberToDevicePath(257), "");
    EXPECT_EQ(DevicePathToComNumber("/dev/ttyUSB32"), -1);
    EXPECT_EQ(DevicePathToComNumber("/dev/ttyUSB01"), -1);
    EXPECT_EQ(DevicePathToComNumber("/dev/pts/128"), -1);
    EXPECT_EQ(DevicePathToComNumber("/dev/ttyXYZ0"), -1);

    EXPECT_EQ(ParseComName("COM10"), 10);
    EXPECT_EQ(ParseComName("\\\\.\\COM10"), 10);
    EXPECT_EQ(ParseComName("com7"), 7);
    EXPECT_EQ(ParseComName("COM0"), -1);
    EXPECT_EQ(ParseComName("COM257"), -1);
    EXPECT_EQ(ParseComName("COM5x"), -1);
    EXPECT_EQ(ParseComName("COM"), -1);
    EXPECT_EQ(ResolvePortName("\\\\.\\COM33"), "/dev/ttyUSB0");
    EXPECT_EQ(ResolvePortName("/tmp/some/link"), "/tmp/some/link");
    EXPECT_EQ(ResolvePortName("ttyUSB0"), "");
}

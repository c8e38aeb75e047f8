#include "serial/ComNames.h"

#include <gtest/gtest.h>

TEST(ComNames, TableEdgesBothWays)
{
    const struct { int nCom; const char* pszPath; } kEdges[] = {
        {1, "/dev/ttyS0"}, {32, "/dev/ttyS31"}, {33, "/dev/ttyUSB0"}, {64, "/dev/ttyUSB31"},
        {65, "/dev/ttyACM0"}, {96, "/dev/ttyACM31"}, {97, "/dev/ttyAMA0"}, {128, "/dev/ttyAMA31"},
        {129, "/dev/pts/0"}, {256, "/dev/pts/127"},
    };
    for (const auto& e : kEdges) {
        EXPECT_EQ(ComNumberToDevicePath(e.nCom), e.pszPath);
        EXPECT_EQ(DevicePathToComNumber(e.pszPath), e.nCom) << e.pszPath;
    }
    for (int n = 1; n <= 256; ++n)
        EXPECT_EQ(DevicePathToComNumber(ComNumberToDevicePath(n)), n);
    for (int n : {-1, 0, 257, 1000})
        EXPECT_EQ(ComNumberToDevicePath(n), "") << n;
    for (const char* psz : {"/dev/ttyS32", "/dev/ttyUSB32", "/dev/ttyAMA32", "/dev/pts/128", "/dev/ttyS",
                            "/dev/ttyS01", "/dev/ttyUSB-1", "/dev/ttyS0x", "/dev/tty0", "ttyS0", "/dev/ttyXR0",
                            "/dev/ttyS99999999999", ""})
        EXPECT_EQ(DevicePathToComNumber(psz), -1) << psz;
}

TEST(ComNames, ShortAndLongNamesResolve)
{
    EXPECT_EQ(ParseComName("COM1"), 1);
    EXPECT_EQ(ParseComName("com33"), 33);
    EXPECT_EQ(ParseComName("\\\\.\\COM10"), 10);
    EXPECT_EQ(ParseComName("COM256"), 256);
    for (const char* psz : {"COM257", "COM0", "COM", "COM 5", "COM5 ", "COM+5", "COM05", "XCOM5", "\\\\.\\",
                            "\\\\.\\\\\\.\\COM1", "LPT1", "", "COM99999999999"})
        EXPECT_EQ(ParseComName(psz), -1) << psz;
    EXPECT_EQ(ResolvePortName("COM33"), "/dev/ttyUSB0");
    EXPECT_EQ(ResolvePortName("\\\\.\\COM129"), "/dev/pts/0");
    EXPECT_EQ(ResolvePortName("/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(ResolvePortName("COM300"), "");
    EXPECT_EQ(ResolvePortName("ttyUSB0"), "");
}

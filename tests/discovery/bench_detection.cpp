// Detection time over a fake sysfs tree with 64 listed ports (32 UARTs and
// 32 USB bridges, the instrument's last) and the virtual ttys a desktop has.
//   bench_detection [rounds]
#include "FakeSysfs.h"

#include "discovery/SysfsPorts.h"

#include <chrono>
#include <cstdio>

int main(int argc, char** argv)
{
    int nRounds = argc > 1 ? std::atoi(argv[1]) : 200;
    if (nRounds < 1)
        nRounds = 1;
    CFakeSysfs tree;
    for (int i = 0; i < 32; ++i) {
        std::string n = std::to_string(i);
        tree.AddUart("ttyS" + n, "pnp0/00:" + n, "4");
        tree.AddUsbSerial("ttyUSB" + n, "1-" + std::to_string(i + 1), i == 31 ? "ZT9047Q USB UART" : "USB Serial");
    }
    for (int i = 0; i < 64; ++i)
        tree.AddVirtual("tty" + std::to_string(i));

    CSysfsPortSource source(tree.Root());
    CEnumSerialPorts ports(&source);
    CSerInfoArray list;
    std::printf("listed ports: %d\n", ports.EnumerateAll(list, 0));
    int nFound = ports.FindDevicePort();
    double dBest = 1e9, dTotal = 0;
    for (int i = 0; i < nRounds; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        nFound = ports.FindDevicePort();
        double d = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        dTotal += d;
        if (d < dBest)
            dBest = d;
    }
    std::printf("detection: COM%d, %.3f ms mean, %.3f ms best over %d rounds (target: under 20 ms)\n", nFound,
                dTotal / nRounds, dBest, nRounds);
    return nFound == 64 ? 0 : 1;
}

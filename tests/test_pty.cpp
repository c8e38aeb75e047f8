// Real time over pseudo terminals: the POSIX port's line rules, and whole
// runs of zt9047q-flash against zt9047q-sim.
#include "serial/CommPort.h"
#include "BuildVersion.h"
#include "support/Process.h"

#include <chrono>
#include <cstdarg>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double CpuMs()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec * 1000.0 + ru.ru_utime.tv_usec / 1000.0 + ru.ru_stime.tv_sec * 1000.0
        + ru.ru_stime.tv_usec / 1000.0;
}

// A pty pair whose slave the port opens, the test playing the far end.
struct SPty
{
    SPty()
    {
        fdMaster = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(fdMaster);
        unlockpt(fdMaster);
        strSlave = ptsname(fdMaster);
    }
    ~SPty()
    {
        if (fdMaster >= 0)
            close(fdMaster);
    }
    int fdMaster = -1;
    std::string strSlave;
};

std::string FileText(const std::string& strPath)
{
    std::ifstream f(strPath, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A pty has no modem lines (TIOCMBIC fails with ENOTTY), so the port's own
// ioctl calls are routed here (linked with --wrap=ioctl) and the last modem
// lines it cleared are kept.
struct SModemLines
{
    int nClearedOnOpen = 0;
} g_modemLines;

} // namespace

extern "C" int __real_ioctl(int fd, unsigned long nRequest, ...);
extern "C" int __wrap_ioctl(int fd, unsigned long nRequest, ...)
{
    va_list args;
    va_start(args, nRequest);
    void* pArg = va_arg(args, void*);
    va_end(args);
    if (nRequest == TIOCMBIC)
        g_modemLines.nClearedOnOpen = *static_cast<int*>(pArg);
    return __real_ioctl(fd, nRequest, pArg);
}

TEST(PosixPort, ReadTimeoutRule)
{
    SPty pty;
    CCommPort port;
    ASSERT_EQ(port.Open(pty.strSlave.c_str(), 921600, 1), 1);
    char c = 0;

    // Nothing pending at t = 1: back within a few ms.
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(port.Read(&c, 1), 0);
    double dMs = MsSince(t0);
    EXPECT_GE(dMs, 1.9);
    EXPECT_LT(dMs, 20.0);

    // t = 4000: a byte that comes after 5 s is still in time (the limit is 8 s).
    port.SetTimeouts(4000);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5000));
        char z = 'Z';
        EXPECT_EQ(write(pty.fdMaster, &z, 1), 1);
    });
    t0 = Clock::now();
    EXPECT_EQ(port.Read(&c, 1), 1);
    dMs = MsSince(t0);
    writer.join();
    EXPECT_EQ(c, 'Z');
    EXPECT_GE(dMs, 4990.0);
    EXPECT_LT(dMs, 5500.0);

    // The interval rule: two bytes 30 ms apart end a 3-byte read at t = 20
    // after the first byte's interval, not at t * n + t.
    port.SetTimeouts(20);
    char buf[3];
    std::thread second([&] {
        char a = 'a';
        EXPECT_EQ(write(pty.fdMaster, &a, 1), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        EXPECT_EQ(write(pty.fdMaster, &a, 1), 1);
    });
    t0 = Clock::now();
    EXPECT_EQ(port.Read(buf, 3), 0);
    dMs = MsSince(t0);
    second.join();
    EXPECT_LT(dMs, 55.0);
}

TEST(PosixPort, LineSettingsAndLifecycle)
{
    SPty pty;
    CCommPort port;
    char c = 'x';
    EXPECT_EQ(port.Read(&c, 1), 0); // never opened
    EXPECT_EQ(port.Write(&c, 1), 0);

    EXPECT_EQ(port.Open(pty.strSlave.c_str(), 12345, 1), 0); // no such speed
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Open("/dev/does-not-exist", 921600, 1), 0);
    ASSERT_EQ(port.Open(pty.strSlave.c_str(), 921600, 1), 1);

    // Raw 8N1 at the speed, no flow control, no translation or marking of
    // any input byte, modem status ignored, reads that never block. The
    // master reads the slave's settings, no root needed.
    termios tio;
    ASSERT_EQ(tcgetattr(pty.fdMaster, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B921600));
    EXPECT_EQ(tio.c_cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD), static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(tio.c_iflag, 0u);
    EXPECT_EQ(tio.c_oflag, 0u);
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    // DTR and RTS go off (a pty has no modem lines: see the ioctl wrapper).
    EXPECT_EQ(g_modemLines.nClearedOnOpen, TIOCM_DTR | TIOCM_RTS);

    int fd = open(pty.strSlave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) { // root gets past the exclusive flag; use it to look
        int nExcl = 0;
        EXPECT_EQ(ioctl(fd, TIOCGEXCL, &nExcl), 0);
        EXPECT_EQ(nExcl, 1);
        close(fd);
    }

    // Bytes cross unchanged both ways (0x11 and 0x13 are no flow control here).
    const char kOut[] = {'\r', '\n', 0x11, 0x13, 0x00, 'B'};
    EXPECT_EQ(port.Write(kOut, sizeof kOut), 1);
    char in[sizeof kOut] = {};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(read(pty.fdMaster, in, sizeof in), static_cast<ssize_t>(sizeof in));
    EXPECT_EQ(std::string(in, sizeof in), std::string(kOut, sizeof kOut));

    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Read(&c, 1), 0);

    // Closed, the pty is free again: nothing of the exclusive flag is left.
    fd = open(pty.strSlave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    int nExcl = 1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &nExcl), 0);
    EXPECT_EQ(nExcl, 0);
    close(fd);
    EXPECT_EQ(port.Open(pty.strSlave.c_str(), 921600, 1), 1);
}

TEST(PosixPort, ExclusiveOpen)
{
    SPty pty;
    CCommPort first;
    ASSERT_EQ(first.Open(pty.strSlave.c_str(), 921600, 1), 1);
    CCommPort second;
    EXPECT_EQ(second.Open(pty.strSlave.c_str(), 921600, 1), 0);

    // Another program (root included) is kept out too.
    pid_t pid = fork();
    if (pid == 0) {
        CCommPort other;
        _exit(other.Open(pty.strSlave.c_str(), 921600, 1) ? 1 : 0);
    }
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "a second program opened the port";

    first.Close();
    EXPECT_EQ(second.Open(pty.strSlave.c_str(), 921600, 1), 1);
    second.Close();

    // A program that holds the port with TIOCEXCL alone keeps us out, root
    // included, and our attempt leaves its flag set.
    int fdHolder = open(pty.strSlave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fdHolder, 0);
    ASSERT_EQ(ioctl(fdHolder, TIOCEXCL), 0);
    EXPECT_EQ(second.Open(pty.strSlave.c_str(), 921600, 1), 0);
    int nExcl = 0;
    EXPECT_EQ(ioctl(fdHolder, TIOCGEXCL, &nExcl), 0);
    EXPECT_EQ(nExcl, 1);
    ioctl(fdHolder, TIOCNXCL);
    close(fdHolder);
    EXPECT_EQ(second.Open(pty.strSlave.c_str(), 921600, 1), 1);
}

TEST(PosixPort, DeadDevicesNeitherHangNorSpin)
{
    {
        // Hung up: reads bring nothing, within their time-out, without burning the CPU.
        SPty pty;
        CCommPort port;
        ASSERT_EQ(port.Open(pty.strSlave.c_str(), 921600, 200), 1);
        close(pty.fdMaster);
        pty.fdMaster = -1;
        char c;
        double dCpu = CpuMs();
        Clock::time_point t0 = Clock::now();
        EXPECT_EQ(port.Read(&c, 1), 0);
        double dMs = MsSince(t0);
        EXPECT_GE(dMs, 395.0);
        EXPECT_LT(dMs, 600.0);
        EXPECT_LT(CpuMs() - dCpu, 60.0);
        EXPECT_EQ(port.Write("x", 1), 0);
    }
    {
        // Nobody reads the far end: a write gives up instead of blocking
        // (twice the line time plus a second).
        SPty pty;
        CCommPort port;
        ASSERT_EQ(port.Open(pty.strSlave.c_str(), 921600, 1), 1);
        std::vector<char> block(4096, 'F');
        int nAccepted = 0;
        double dRefusedMs = 0;
        Clock::time_point t0 = Clock::now();
        while (MsSince(t0) < 20000 && dRefusedMs == 0) {
            Clock::time_point tWrite = Clock::now();
            if (port.Write(block.data(), static_cast<uint32_t>(block.size())))
                ++nAccepted;
            else
                dRefusedMs = MsSince(tWrite);
        }
        EXPECT_GT(nAccepted, 0);
        double dBoundMs = 2.0 * 4096 * 10 * 1000 / 921600 + 1000;
        EXPECT_GE(dRefusedMs, 1000.0);
        EXPECT_LT(dRefusedMs, dBoundMs + 200);
    }
}

TEST(WholeRun, FlashUpdatesTheSimulatedUnit)
{
    CSimProcess sim;
    ASSERT_TRUE(sim.Start(ZT_SIM_EXE, {"--firmware", "2.10"}));
    ASSERT_EQ(sim.m_strCom.compare(0, 3, "COM"), 0);
    Clock::time_point t0 = Clock::now();
    SProcessResult r = RunProcess({ZT_FLASH_EXE, "--port", sim.m_strCom});
    double dMs = MsSince(t0);
    std::string strSummary = sim.Stop();
    EXPECT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_NE(r.strErr.find("ZT9047Q firmware updated to version " ZT_FIRMWARE_VERSION_TEXT "\n"), std::string::npos) << r.strErr;
    EXPECT_NE(r.strErr.find("Progress: 90%"), std::string::npos);
    EXPECT_NE(strSummary.find("the packaged image, byte for byte"), std::string::npos) << strSummary;
    // Handshake pauses and reply waits (about 4.2 s) and 196 ticks of 10 ms.
    std::printf("[ figures  ] Download to completion: %.0f ms\n", dMs);
}

TEST(WholeRun, DowngradeWithoutYesChangesNothing)
{
    char szLog[] = "/tmp/zt-sim-log-XXXXXX";
    int fd = mkstemp(szLog);
    ASSERT_GE(fd, 0);
    close(fd);
    CSimProcess sim;
    ASSERT_TRUE(sim.Start(ZT_SIM_EXE, {"--firmware", "2.35", "--log", szLog}));
    SProcessResult r = RunProcess({ZT_FLASH_EXE, "--port", sim.m_strPath});
    sim.Stop();
    EXPECT_EQ(r.nExit, 1);
    EXPECT_NE(r.strErr.find("The ZT9047Q is running a newer firmware version(2.35).\n"
                            "Are you sure you want to down grade to version 2.20?"),
              std::string::npos)
        << r.strErr;
    EXPECT_EQ(FileText(szLog), "\r\n"); // the wake-up and nothing after it
    unlink(szLog);
}

TEST(WholeRun, CommandLineContract)
{
    SProcessResult r = RunProcess({ZT_FLASH_EXE, "--bogus"});
    EXPECT_EQ(r.nExit, 2);
    r = RunProcess({ZT_FLASH_EXE, "--port"});
    EXPECT_EQ(r.nExit, 2);
    r = RunProcess({ZT_FLASH_EXE, "--port", "LPT1"});
    EXPECT_EQ(r.nExit, 2);
    r = RunProcess({ZT_FLASH_EXE, "--help"});
    EXPECT_EQ(r.nExit, 0);
    EXPECT_NE(r.strOut.find("usage: zt9047q-flash [--port NAME]... [--all] [--watch] [--verify] [--yes] [--json] [--quiet]"),
              std::string::npos);
    r = RunProcess({ZT_FLASH_EXE, "--version"});
    EXPECT_EQ(r.nExit, 0);
    EXPECT_NE(r.strOut.find("2.20"), std::string::npos);

    // A port that does not exist: the window's message, and a failed run.
    r = RunProcess({ZT_FLASH_EXE, "--port", "COM32"});
    EXPECT_EQ(r.nExit, 1);
    EXPECT_NE(r.strErr.find("Error: COM32 in use or does not exist."), std::string::npos) << r.strErr;
}

TEST(WholeRun, TerminateDuringTheHandshakeStopsAtOnce)
{
    // In the 2 s pause after "BOOT 1": out within 100 ms, nothing more sent,
    // and the unit said to wait in its bootloader.
    char szLog[] = "/tmp/zt-sim-log-XXXXXX";
    int fd = mkstemp(szLog);
    ASSERT_GE(fd, 0);
    close(fd);
    CSimProcess sim;
    ASSERT_TRUE(sim.Start(ZT_SIM_EXE, {"--log", szLog}));
    int fdOut = -1, fdErr = -1;
    pid_t pid = Spawn({ZT_FLASH_EXE, "--port", sim.m_strCom, "--json"}, &fdOut, &fdErr);
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    Clock::time_point t0 = Clock::now();
    kill(pid, SIGTERM);
    std::string strJson = ReadAll(fdOut);
    ReadAll(fdErr);
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    double dMs = MsSince(t0);
    close(fdOut);
    close(fdErr);
    sim.Stop();
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 1);
    EXPECT_LT(dMs, 100.0);
    EXPECT_NE(strJson.find("\"result\":\"interrupted\",\"text\":\"Update interrupted: the ZT9047Q was already told"),
              std::string::npos) << strJson;
    EXPECT_EQ(FileText(szLog), "\r\nBOOT\r\n#\r\nBOOT 1\r\n");
    unlink(szLog);
    std::printf("[ figures  ] SIGTERM to exit: %.1f ms\n", dMs);
}

TEST(PackagedImage, GeneratorMakesTheCheckedInImage)
{
    SProcessResult r = RunProcess({ZT_MAKE_IMAGE_EXE});
    ASSERT_EQ(r.nExit, 0);
    EXPECT_EQ(r.strOut.size(), 207776u);
    EXPECT_TRUE(r.strOut == FileText(ZT_FIRMWARE_HEX));
}

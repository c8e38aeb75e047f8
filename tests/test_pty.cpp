// Real time over pseudo terminals: the POSIX port's line rules, and whole
// runs of zt9047q-flash against zt9047q-sim.
#include "serial/CommPort.h"
#include "BuildVersion.h"
#include "support/Process.h"

#include <chrono>
#include <cstdlib>
#include <cstdarg>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <pty.h>
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

// How a spawned zt9047q-flash ended after a stop sent at t0: all it wrote,
// its exit status and how long it took; its pipes are closed.
struct SEnded
{
    std::string strOut, strErr;
    int nStatus = 0;
    double dMs = 0;
};

SEnded EndOf(pid_t pid, int fdOut, int fdErr, Clock::time_point t0)
{
    SEnded e;
    e.strOut = ReadAll(fdOut);
    e.strErr = ReadAll(fdErr);
    waitpid(pid, &e.nStatus, 0);
    e.dMs = MsSince(t0);
    close(fdOut);
    close(fdErr);
    return e;
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

TEST(PosixPort, SettingsAreGivenBack)
{
    // A terminal as another program left it: cooked, echoing, 9600 baud.
    SPty pty;
    int fdSlave = open(pty.strSlave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fdSlave, 0);
    termios before;
    ASSERT_EQ(tcgetattr(fdSlave, &before), 0);
    before.c_lflag |= ICANON | ECHO;
    before.c_oflag |= OPOST | ONLCR;
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    ASSERT_EQ(tcsetattr(fdSlave, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(pty.fdMaster, &before), 0);
    close(fdSlave);

    CCommPort port;
    ASSERT_EQ(port.Open(pty.strSlave.c_str(), 921600, 1), 1);
    termios during;
    ASSERT_EQ(tcgetattr(pty.fdMaster, &during), 0);
    EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B921600));
    port.Close();

    termios after;
    ASSERT_EQ(tcgetattr(pty.fdMaster, &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(after.c_cc), NCCS),
              std::string(reinterpret_cast<char*>(before.c_cc), NCCS));
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
}

TEST(WholeRun, OwnTerminalIsRefusedAsThePort)
{
    // zt9047q-flash in a session whose controlling terminal is a pty, asked
    // to update that terminal by each of its names.
    SPty pty;
    termios before;
    ASSERT_EQ(tcgetattr(pty.fdMaster, &before), 0);
    int nPts = std::atoi(pty.strSlave.c_str() + std::strlen("/dev/pts/"));
    std::vector<std::string> names = {"/dev/tty", pty.strSlave};
    if (nPts < 128)
        names.push_back("COM" + std::to_string(129 + nPts));
    for (const std::string& strName : names) {
        int err[2];
        ASSERT_EQ(pipe(err), 0);
        pid_t pid = fork();
        if (pid == 0) {
            setsid();
            int fd = open(pty.strSlave.c_str(), O_RDWR); // becomes the controlling terminal
            if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0)
                _exit(126);
            int fdNull = open("/dev/null", O_RDWR);
            dup2(fdNull, 0);
            dup2(fdNull, 1);
            dup2(err[1], 2);
            execl(ZT_FLASH_EXE, ZT_FLASH_EXE, "--port", strName.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(err[1]);
        std::string strErr = ReadAll(err[0]);
        close(err[0]);
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 1) << strName << ": " << strErr;
        EXPECT_NE(strErr.find("in use or does not exist."), std::string::npos) << strErr;
        EXPECT_NE(strErr.find("this is the terminal zt9047q-flash runs in"), std::string::npos) << strErr;
        EXPECT_NE(strErr.find("open-failed"), std::string::npos) << strErr;
    }
    termios after;
    ASSERT_EQ(tcgetattr(pty.fdMaster, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
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

TEST(WholeRun, OneDeviceUnderSeveralNamesIsOneRun)
{
    CSimProcess sim;
    ASSERT_TRUE(sim.Start(ZT_SIM_EXE, {"--firmware", "2.10"}));
    char szDir[] = "/tmp/zt-by-path-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    std::string strLink = std::string(szDir) + "/usb-ZT9047Q-port0";
    ASSERT_EQ(symlink(sim.m_strPath.c_str(), strLink.c_str()), 0);
    SProcessResult r =
        RunProcess({ZT_FLASH_EXE, "--json", "--port", sim.m_strCom, "--port", sim.m_strPath, "--port", strLink});
    std::string strSummary = sim.Stop();
    unlink(strLink.c_str());
    rmdir(szDir);
    EXPECT_EQ(r.nExit, 0) << r.strErr;
    size_t nEnds = 0;
    for (size_t p = r.strOut.find("\"event\":\"end\""); p != std::string::npos; p = r.strOut.find("\"event\":\"end\"", p + 1))
        ++nEnds;
    EXPECT_EQ(nEnds, 1u) << r.strOut;
    EXPECT_NE(r.strOut.find("\"port\":\"" + sim.m_strCom + "\",\"result\":\"completed\""), std::string::npos) << r.strOut;
    EXPECT_NE(strSummary.find("the packaged image, byte for byte"), std::string::npos) << strSummary;
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

TEST(WholeRun, AnswerTypedBeforeTheQuestionDoesNotCount)
{
    CSimProcess sim;
    ASSERT_TRUE(sim.Start(ZT_SIM_EXE, {"--firmware", "2.35"}));
    int fdTerminal = -1;
    pid_t pid = forkpty(&fdTerminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(ZT_FLASH_EXE, ZT_FLASH_EXE, "--port", sim.m_strCom.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // A Yes typed while the unit is still being woken.
    ASSERT_EQ(write(fdTerminal, "y\n", 2), 2);
    std::string strOut;
    auto readFor = [&](double dMs, const char* pszUntil) {
        Clock::time_point t0 = Clock::now();
        while (MsSince(t0) < dMs && (!pszUntil || strOut.find(pszUntil) == std::string::npos)) {
            pollfd pfd = {fdTerminal, POLLIN, 0};
            char buf[512];
            ssize_t n = poll(&pfd, 1, 50) > 0 ? read(fdTerminal, buf, sizeof buf) : 0;
            if (n < 0)
                break; // the program has ended
            strOut.append(buf, static_cast<size_t>(n));
        }
    };
    readFor(10000, "[y/N]");
    readFor(500, nullptr);
    ASSERT_EQ(write(fdTerminal, "n\n", 2), 2);
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    readFor(200, nullptr);
    close(fdTerminal);
    sim.Stop();
    EXPECT_EQ(WEXITSTATUS(nStatus), 1) << strOut;
    EXPECT_EQ(strOut.find("Initializing bootloader"), std::string::npos) << strOut;
}

TEST(WholeRun, CommandLineContract)
{
    // A usage error: the problem and where to look, not the whole help.
    SProcessResult r = RunProcess({ZT_FLASH_EXE, "--bogus"});
    EXPECT_EQ(r.nExit, 2);
    EXPECT_EQ(r.strErr, "zt9047q-flash: unknown option '--bogus'\nTry 'zt9047q-flash --help' for more information.\n");
    r = RunProcess({ZT_FLASH_EXE, "-p"});
    EXPECT_EQ(r.nExit, 2);
    EXPECT_EQ(r.strErr, "zt9047q-flash: option '-p' needs a port name\nTry 'zt9047q-flash --help' for more information.\n");
    r = RunProcess({ZT_FLASH_EXE, "--port", "LPT1"});
    EXPECT_EQ(r.nExit, 2);
    EXPECT_EQ(r.strErr.find("usage:"), std::string::npos) << r.strErr;
    // The short options.
    r = RunProcess({ZT_FLASH_EXE, "-l", "-j"});
    EXPECT_EQ(r.nExit, 0);
    EXPECT_EQ(r.strOut.rfind("{\"event\":\"port\",\"port\":\"", 0), 0u) << r.strOut;
    r = RunProcess({ZT_FLASH_EXE, "-p", "COM32", "-y", "-q", "-j"});
    EXPECT_EQ(r.nExit, 1);
    EXPECT_NE(r.strOut.find("\"result\":\"open-failed\""), std::string::npos) << r.strOut;
    EXPECT_EQ(r.strErr.find("Port: "), std::string::npos) << r.strErr; // quiet
    r = RunProcess({ZT_FLASH_EXE, "--help"});
    EXPECT_EQ(r.nExit, 0);
    EXPECT_NE(r.strOut.find("usage: zt9047q-flash [--port NAME]... [--all] [--watch] [--verify] [--yes] [--json] [--quiet]"),
              std::string::npos);
    r = RunProcess({ZT_FLASH_EXE, "-V"});
    EXPECT_EQ(r.nExit, 0);
    EXPECT_EQ(r.strOut, "zt9047q-flash " ZT_PROGRAM_VERSION_TEXT "\ncarries ZT9047Q firmware " ZT_FIRMWARE_VERSION_TEXT "\n");

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
    const SEnded end = EndOf(pid, fdOut, fdErr, t0);
    const std::string& strJson = end.strOut;
    const double dMs = end.dMs;
    sim.Stop();
    EXPECT_TRUE(WIFEXITED(end.nStatus) && WEXITSTATUS(end.nStatus) == 1);
    EXPECT_LT(dMs, 100.0);
    EXPECT_NE(strJson.find("\"result\":\"interrupted\",\"text\":\"Update interrupted: the ZT9047Q was already told"),
              std::string::npos) << strJson;
    EXPECT_EQ(FileText(szLog), "\r\nBOOT\r\n#\r\nBOOT 1\r\n");
    unlink(szLog);
    std::printf("[ figures  ] SIGTERM to exit: %.1f ms\n", dMs);
}

TEST(WholeRun, TerminateDuringAFrameWaitStopsAtOnce)
{
    // A unit that stops answering at its fourth frame, where the tool waits
    // up to 8 s for the answer: alone, and in a station beside a unit that
    // answers. SIGTERM in that wait ends every run at once, as interrupted.
    for (bool bStation : {false, true}) {
        SCOPED_TRACE(bStation ? "station" : "one unit");
        CSimProcess silent, other;
        ASSERT_TRUE(silent.Start(ZT_SIM_EXE, {"--silent-frame", "3"}));
        std::vector<std::string> argv = {ZT_FLASH_EXE, "--json", "--port", silent.m_strCom};
        if (bStation) {
            ASSERT_TRUE(other.Start(ZT_SIM_EXE, {}));
            argv.insert(argv.end(), {"--port", other.m_strCom});
        }
        int fdOut = -1, fdErr = -1;
        pid_t pid = Spawn(argv, &fdOut, &fdErr);
        ASSERT_GT(pid, 0);
        std::string strJson;
        EXPECT_TRUE(ReadUntil(fdOut, &strJson,
                              "\"port\":\"" + silent.m_strCom + "\",\"text\":\"Downloading new firmware...\"", 15000));
        // 600 ms of pauses, three frames, then the wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        Clock::time_point t0 = Clock::now();
        kill(pid, SIGTERM);
        const SEnded end = EndOf(pid, fdOut, fdErr, t0);
        strJson += end.strOut;
        const std::string& strErr = end.strErr;
        const double dMs = end.dMs;
        EXPECT_TRUE(WIFEXITED(end.nStatus) && WEXITSTATUS(end.nStatus) == 1);
        EXPECT_LT(dMs, 200.0) << strErr;
        EXPECT_NE(strJson.find("\"event\":\"end\",\"port\":\"" + silent.m_strCom
                               + "\",\"result\":\"interrupted\",\"text\":\"Update stopped before completion"),
                  std::string::npos)
            << strJson;
        std::printf("[ figures  ] SIGTERM in a frame wait to exit (%s): %.1f ms\n", bStation ? "station" : "one unit",
                    dMs);
    }
}

TEST(WholeRun, SecondCtrlCInAFrameWaitStopsAtOnce)
{
    // One unit silent from its fourth frame; both presses come while the
    // tool waits for that frame's answer, before the tick could take the
    // first one. The second is the Yes and ends the wait there.
    CSimProcess silent;
    ASSERT_TRUE(silent.Start(ZT_SIM_EXE, {"--silent-frame", "3"}));
    int fdOut = -1, fdErr = -1;
    pid_t pid = Spawn({ZT_FLASH_EXE, "--json", "--port", silent.m_strCom}, &fdOut, &fdErr);
    ASSERT_GT(pid, 0);
    std::string strJson;
    EXPECT_TRUE(ReadUntil(fdOut, &strJson, "\"text\":\"Downloading new firmware...\"", 15000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    kill(pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Clock::time_point t0 = Clock::now();
    kill(pid, SIGINT);
    const SEnded end = EndOf(pid, fdOut, fdErr, t0);
    strJson += end.strOut;
    const std::string& strErr = end.strErr;
    const double dMs = end.dMs;
    EXPECT_TRUE(WIFEXITED(end.nStatus) && WEXITSTATUS(end.nStatus) == 1);
    EXPECT_LT(dMs, 500.0) << strErr;
    EXPECT_NE(strErr.find("Yes: stopping the transfer."), std::string::npos) << strErr;
    EXPECT_NE(strJson.find("\"result\":\"interrupted\",\"text\":\"Update stopped before completion"), std::string::npos)
        << strJson;
    std::printf("[ figures  ] second Ctrl-C in a frame wait to exit: %.1f ms\n", dMs);
}

namespace {

// Waits up to nMs for the child; its exit status, or -1 (then it is killed).
int WaitExit(pid_t pid, int nMs)
{
    Clock::time_point t0 = Clock::now();
    int nStatus = 0;
    while (waitpid(pid, &nStatus, WNOHANG) == 0) {
        if (MsSince(t0) > nMs) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

std::vector<std::string> Lines(const std::string& s)
{
    std::vector<std::string> lines;
    for (size_t p = 0, q; p < s.size(); p = q + 1) {
        q = s.find('\n', p);
        if (q == std::string::npos)
            q = s.size();
        lines.push_back(s.substr(p, q - p));
    }
    return lines;
}

int FieldOf(const std::string& strLine, const std::string& strField)
{
    size_t nAt = strLine.find("\"" + strField + "\":");
    return nAt == std::string::npos ? -1 : std::atoi(strLine.c_str() + nAt + strField.size() + 3);
}

// Every line a whole event, the end last, and no progress event missing:
// two frames move the percentage about one step, so two events in a row are
// at most two frames apart; the last one (shown before its tick's frame
// goes out) at most three frames short of the end.
void ExpectWholeStream(const std::string& strJson)
{
    std::vector<std::string> lines = Lines(strJson);
    ASSERT_FALSE(lines.empty());
    int nProgressFrames = -1;
    for (const std::string& s : lines) {
        if (s.find("\"progress\"") != std::string::npos)
            nProgressFrames = FieldOf(s, "frames");
    }
    EXPECT_LE(FieldOf(lines.back(), "frames") - nProgressFrames, 3) << lines.back();
    int nLastFrames = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& s = lines[i];
        EXPECT_TRUE(s.compare(0, 10, "{\"event\":\"") == 0 && s.back() == '}') << s;
        EXPECT_EQ(s.find("\"event\":\"end\"") != std::string::npos, i + 1 == lines.size()) << s;
        size_t nAt = s.find("\"frames\":");
        if (s.find("\"progress\"") != std::string::npos && nAt != std::string::npos) {
            int nFrames = std::atoi(s.c_str() + nAt + 9);
            if (nLastFrames >= 0) {
                EXPECT_LE(nFrames - nLastFrames, 2) << s;
            }
            nLastFrames = nFrames;
        }
    }
}

} // namespace

TEST(WholeRun, BlockedOutputLosesNothingToSignals)
{
    // Standard output holds 4 KiB and is not read while Ctrl-C (the close
    // question, nobody to answer) and then SIGTERM come during the stream.
    CSimProcess sim;
    ASSERT_TRUE(sim.Start(ZT_SIM_EXE, {}));
    int fdOut = -1, fdErr = -1;
    pid_t pid = Spawn({ZT_FLASH_EXE, "-p", sim.m_strCom, "-j"}, &fdOut, &fdErr, 4096);
    ASSERT_GT(pid, 0);
    // The handshake takes about 4.2 s; at 5.6 s some 140 frames are out,
    // far more events than the pipe holds.
    std::this_thread::sleep_for(std::chrono::milliseconds(5600));
    kill(pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid, SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string strJson = ReadAll(fdOut);
    std::string strErr;
    int nExit = WaitExit(pid, 5000);
    strErr += ReadAll(fdErr);
    close(fdOut);
    close(fdErr);
    EXPECT_EQ(nExit, 1) << strErr;
    ExpectWholeStream(strJson);
    EXPECT_NE(strJson.find("\"answer\":\"no\""), std::string::npos) << strJson; // the question, withdrawn
    EXPECT_NE(strJson.find("\"result\":\"interrupted\""), std::string::npos) << strJson;
}

TEST(WholeRun, PausingReaderLeavesThePacingAlone)
{
    CSimProcess sim;
    ASSERT_TRUE(sim.Start(ZT_SIM_EXE, {}));
    int fdOut = -1, fdErr = -1;
    pid_t pid = Spawn({ZT_FLASH_EXE, "--port", sim.m_strCom, "--json"}, &fdOut, &fdErr, 4096);
    ASSERT_GT(pid, 0);
    std::string strJson;
    ASSERT_TRUE(ReadUntil(fdOut, &strJson, "\"percent\":1,", 15000)) << strJson;
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    strJson += ReadAll(fdOut);
    std::string strErr = ReadAll(fdErr);
    int nExit = WaitExit(pid, 5000);
    close(fdOut);
    close(fdErr);
    EXPECT_EQ(nExit, 0) << strErr;
    ExpectWholeStream(strJson);
    // About 6.1 s; the reader's 2 s pause is not in it.
    size_t nAt = strJson.find("\"elapsed_ms\":");
    ASSERT_NE(nAt, std::string::npos);
    int nElapsed = std::atoi(strJson.c_str() + nAt + 13);
    EXPECT_LT(nElapsed, 6800) << strJson.substr(nAt);
    std::printf("[ figures  ] update with a reader pausing 2 s: %d ms\n", nElapsed);
}

TEST(WholeRun, UnreadOutputHoldsUpNoUnitAndNoStop)
{
    // Eight units whose JSON nobody reads: all complete, and SIGTERM then
    // ends the tool at once, its ports released.
    const int kUnits = 8;
    std::unique_ptr<CSimProcess> sims[kUnits];
    std::vector<std::string> argv = {ZT_FLASH_EXE, "--json"};
    for (auto& pSim : sims) {
        pSim.reset(new CSimProcess);
        ASSERT_TRUE(pSim->Start(ZT_SIM_EXE, {}));
        argv.push_back("--port");
        argv.push_back(pSim->m_strCom);
    }
    int fdOut = -1, fdErr = -1;
    pid_t pid = Spawn(argv, &fdOut, &fdErr, 4096);
    ASSERT_GT(pid, 0);
    std::string strErr;
    bool bSummary = ReadUntil(fdErr, &strErr, "Summary:", 30000);
    // All done; the tool now waits for its reader.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid, SIGTERM);
    Clock::time_point t0 = Clock::now();
    int nExit = WaitExit(pid, 5000);
    double dMs = MsSince(t0);
    ReadUntil(fdErr, &strErr, "\x01", 200);
    close(fdOut);
    close(fdErr);
    ASSERT_TRUE(bSummary) << strErr;
    EXPECT_NE(strErr.find("8 runs: 8 completed, 0 not verified, 0 failed."), std::string::npos) << strErr;
    EXPECT_EQ(nExit, 1); // completed, but not all its output got out
    EXPECT_LT(dMs, 1000.0);
    EXPECT_NE(strErr.find("zt9047q-flash: standard output took nothing more"), std::string::npos) << strErr;
    for (auto& pSim : sims) {
        int fd = open(pSim->m_strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int nExclusive = -1;
        EXPECT_TRUE(fd >= 0 && ioctl(fd, TIOCGEXCL, &nExclusive) == 0 && nExclusive == 0) << pSim->m_strPath;
        if (fd >= 0)
            close(fd);
        EXPECT_NE(pSim->Stop().find("the packaged image, byte for byte"), std::string::npos);
    }
    std::printf("[ figures  ] SIGTERM to exit with standard output stuck: %.0f ms\n", dMs);
}

TEST(WholeRun, UnreadOutputEndsAtEachCtrlC)
{
    // All units done, standard output unread: the tool waits for its reader
    // until a stop comes. A Ctrl-C ends that wait at once, though several
    // checks look at the signals while it lasts (a second one as well, were
    // the first lost).
    std::unique_ptr<CSimProcess> sims[2];
    std::vector<std::string> argv = {ZT_FLASH_EXE, "--json"};
    for (auto& pSim : sims) {
        pSim.reset(new CSimProcess);
        ASSERT_TRUE(pSim->Start(ZT_SIM_EXE, {}));
        argv.insert(argv.end(), {"--port", pSim->m_strCom});
    }
    // Standard error into a file, as a station's log often is.
    char szErr[] = "/tmp/zt-unread-err-XXXXXX";
    int fdErrFile = mkstemp(szErr);
    ASSERT_GE(fdErrFile, 0);
    int fdOut = -1, fdErr = -1;
    pid_t pid = Spawn(argv, &fdOut, &fdErr, 4096, [fdErrFile] { dup2(fdErrFile, 2); });
    ASSERT_GT(pid, 0);
    close(fdErrFile);
    bool bSummary = false;
    for (Clock::time_point t0 = Clock::now(); !bSummary && MsSince(t0) < 30000;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        bSummary = FileText(szErr).find("Summary:") != std::string::npos;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int nStatus = 0;
    bool bEndedAtFirst = false;
    for (int nPress = 1; nPress <= 2 && !bEndedAtFirst; ++nPress) {
        kill(pid, SIGINT);
        Clock::time_point t0 = Clock::now();
        while (MsSince(t0) < 500 && waitpid(pid, &nStatus, WNOHANG) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        bool bEnded = MsSince(t0) < 500;
        if (nPress == 1)
            bEndedAtFirst = bEnded;
        else
            EXPECT_TRUE(bEnded) << "still running 0.5 s after the second Ctrl-C";
    }
    EXPECT_TRUE(bEndedAtFirst) << "still running 0.5 s after a Ctrl-C";
    if (waitpid(pid, &nStatus, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &nStatus, 0);
    }
    close(fdOut);
    close(fdErr);
    std::string strErr = FileText(szErr);
    unlink(szErr);
    ASSERT_TRUE(bSummary) << strErr;
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 1) << strErr;
    EXPECT_NE(strErr.find("zt9047q-flash: standard output took nothing more"), std::string::npos) << strErr;
}

TEST(PackagedImage, GeneratorMakesTheCheckedInImage)
{
    SProcessResult r = RunProcess({ZT_MAKE_IMAGE_EXE});
    ASSERT_EQ(r.nExit, 0);
    EXPECT_EQ(r.strOut.size(), 207776u);
    EXPECT_TRUE(r.strOut == FileText(ZT_FIRMWARE_HEX));
}

// The faults where the port itself matters, in real time over a pseudo
// terminal: the unit unplugged (the terminal hung up) during the handshake
// and during the stream, the port held by another program, real bytes with
// junk and rejects on the line, and the low-latency request that a pseudo
// terminal refuses.
#include "FaultChecks.h"
#include "serial/ComNames.h"
#include "serial/Console.h"
#include "sim/PtyServer_posix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

uint64_t NowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

uint64_t ThreadCpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Descriptors of this process that point at the path.
int OpenDescriptorsOf(const std::string& strPath)
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (dirent* e = readdir(d)) {
        char szTarget[PATH_MAX];
        std::string strLink = std::string("/proc/self/fd/") + e->d_name;
        ssize_t r = readlink(strLink.c_str(), szTarget, sizeof szTarget - 1);
        if (r > 0 && std::string(szTarget, static_cast<size_t>(r)) == strPath)
            ++n;
    }
    closedir(d);
    return n;
}

// The simulated unit served on a new pseudo terminal by a thread of its own.
// The model belongs to that thread until Stop() has joined it.
struct SPtyUnit
{
    explicit SPtyUnit(const SSimConfig& config) : model(config), server(model) {}
    ~SPtyUnit() { Stop(); }

    bool Start()
    {
        std::string strError;
        if (!server.Create(&strError)) {
            ADD_FAILURE() << strError;
            return false;
        }
        strPath = server.SlavePath();
        nCom = DevicePathToComNumber(strPath);
        if (nCom < 0) {
            ADD_FAILURE() << strPath << " lies outside the COM name space";
            return false;
        }
        nOwnDescriptors = OpenDescriptorsOf(strPath); // the server's own
        thread = std::thread([this] { server.Run(&bStop); });
        return true;
    }
    void Stop()
    {
        bStop = true;
        if (thread.joinable())
            thread.join();
    }

    CInstrumentModel model;
    CPtyServer server;
    std::thread thread;
    volatile bool bStop = false;
    std::string strPath;
    int nCom = -1;
    int nOwnDescriptors = 0;
};

// The window's logic on the machine's clock and port, ticking every 10 ms
// as zt9047q-flash does.
struct SRealRun
{
    SRealRun()
    {
        dlg.reset(new CUpdateDlgDlg(surface, SystemClock()));
        surface.m_onMessage = [this](const std::string&, unsigned) { endTimes.push_back(NowMs()); };
    }

    void Run(int nCom, uint64_t nCapMs = 60000)
    {
        surface.m_nCom = nCom;
        surface.SetStatusText(texts::kWaiting);
        uint64_t nCpu = ThreadCpuMs();
        nStartMs = NowMs();
        dlg->OnDownload();
        uint64_t nNext = NowMs();
        while (dlg->m_nTransferState != 0 && NowMs() - nStartMs < nCapMs) {
            uint64_t nNow = NowMs();
            if (nNow < nNext) {
                SystemClock().Sleep(static_cast<uint32_t>(nNext - nNow));
                continue;
            }
            nNext = nNow + CUpdateDlgDlg::kTimerPeriodMs;
            uint64_t nBefore = NowMs();
            dlg->OnTimer(CUpdateDlgDlg::kTimerId);
            if (NowMs() - nBefore > nLongestTickMs)
                nLongestTickMs = NowMs() - nBefore;
        }
        nEndMs = NowMs();
        nCpuMs = ThreadCpuMs() - nCpu;
    }

    // Click to the last message box.
    uint64_t EndAfterMs() const { return endTimes.empty() ? UINT64_MAX : endTimes.back() - nStartMs; }

    CFakeSurface surface;
    std::unique_ptr<CUpdateDlgDlg> dlg;
    std::vector<uint64_t> endTimes;
    uint64_t nStartMs = 0;
    uint64_t nEndMs = 0;
    uint64_t nCpuMs = 0;
    uint64_t nLongestTickMs = 0;
};

void ExpectIdle(SRealRun& run)
{
    EXPECT_EQ(run.dlg->m_pPort, nullptr);
    EXPECT_EQ(run.dlg->m_nTransferState, 0);
    EXPECT_TRUE(run.surface.m_bDownloadEnabled);
    EXPECT_EQ(run.surface.m_strStatus, texts::kWaiting);
}

// Another program's exclusive hold on the terminal.
int Hold(const std::string& strPath)
{
    int fd = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TEST(FaultPty, UnpluggedDuringTheHandshake)
{
    SSimConfig c;
    c.bHangupInHandshake = true;
    SPtyUnit unit(c);
    ASSERT_TRUE(unit.Start());
    SRealRun run;
    run.Run(unit.nCom);

    EXPECT_EQ(run.surface.m_messages, std::vector<std::string>{kBootloaderSilentText});
    ExpectIdle(run);
    // The reply line (2 s), the pauses (3.55 s) and the sign deadline (3 s),
    // and not much more: a dead line reads as silence.
    EXPECT_GE(run.EndAfterMs(), 2000u + 3550u + 3000u);
    EXPECT_LE(run.EndAfterMs(), 2000u + 3550u + 3000u + 1500u);
    // Waiting on a hung-up terminal must sleep, not spin.
    EXPECT_LT(run.nCpuMs, (run.nEndMs - run.nStartMs) / 10) << "CPU " << run.nCpuMs << " ms";
    EXPECT_EQ(OpenDescriptorsOf(unit.strPath), 0);
    unit.Stop();
    EXPECT_TRUE(unit.model.HungUp());
    EXPECT_EQ(unit.model.ConsoleText(), "\r\nBOOT\r\n");
}

TEST(FaultPty, UnpluggedDuringTheStream)
{
    SSimConfig c;
    c.bStartInBootloader = true;
    c.nHangupFrame = 3;
    SPtyUnit unit(c);
    ASSERT_TRUE(unit.Start());
    SRealRun run;
    run.Run(unit.nCom);

    const int nAt = SPackagedImage::Get().frameStarts[3];
    EXPECT_EQ(run.surface.m_messages, std::vector<std::string>{SilenceText(nAt, 3, nAt)});
    ExpectIdle(run);
    EXPECT_GE(run.nLongestTickMs, 7900u);
    EXPECT_LE(run.nLongestTickMs, 8000u + 500u); // the reply's 8 s and no longer
    EXPECT_LT(run.nCpuMs, (run.nEndMs - run.nStartMs) / 10) << "CPU " << run.nCpuMs << " ms";
    EXPECT_EQ(OpenDescriptorsOf(unit.strPath), 0);
}

TEST(FaultPty, PortHeldByAnotherProgramThenRealBytesWithJunkAndRejects)
{
    SSimConfig c;
    c.bStartInBootloader = true;
    c.nExtraBytes = 5;
    c.nRejectFrame = 4;
    c.nRejectCount = 3;
    SPtyUnit unit(c);
    ASSERT_TRUE(unit.Start());

    int fdHeld = Hold(unit.strPath);
    ASSERT_GE(fdHeld, 0);
    SRealRun run;
    run.Run(unit.nCom);
    EXPECT_EQ(run.surface.m_messages,
              std::vector<std::string>{"Error: COM" + std::to_string(unit.nCom) + " in use or does not exist."});
    ASSERT_NE(run.dlg->m_pPort, nullptr);
    EXPECT_FALSE(run.dlg->m_pPort->IsOpen());
    EXPECT_TRUE(run.surface.m_bDownloadEnabled);
    EXPECT_EQ(OpenDescriptorsOf(unit.strPath), unit.nOwnDescriptors + 1); // and the holder's
    close(fdHeld);

    // Let go: the next click goes through, over real bytes.
    run.surface.m_messages.clear();
    run.Run(unit.nCom);
    EXPECT_EQ(run.surface.m_messages, std::vector<std::string>{kCompleteText});
    ExpectIdle(run);
    EXPECT_EQ(OpenDescriptorsOf(unit.strPath), unit.nOwnDescriptors);

    // The port is free for the next program.
    int fdNext = Hold(unit.strPath);
    EXPECT_GE(fdNext, 0);
    if (fdNext >= 0)
        close(fdNext);

    unit.Stop();
    EXPECT_TRUE(unit.model.AcceptedImage() == SPackagedImage::Get().bytes);
    EXPECT_EQ(unit.model.Rejects(), 3);
}

TEST(FaultPty, RefusedLowLatencyRequestIsHarmless)
{
    SPtyUnit unit{SSimConfig()};
    ASSERT_TRUE(unit.Start());

    // A pseudo terminal has no serial driver behind it: the request that the
    // port makes for USB bridges is refused here.
    int fd = open(unit.strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    serial_struct ss;
    EXPECT_NE(ioctl(fd, TIOCGSERIAL, &ss), 0);
    close(fd);

    // All the same the port opens with its line settings and carries bytes
    // both ways.
    CCommPort port;
    std::string strName = "\\\\.\\COM" + std::to_string(unit.nCom);
    ASSERT_EQ(port.Open(strName.c_str(), CUpdateDlgDlg::kBaudRate, CUpdateDlgDlg::kOpenTimeoutMs), 1);
    DrainInput(&port, SystemClock());
    SendText(&port, "\r\n", false, SystemClock());
    char szLine[128];
    int nSeen = 0;
    EXPECT_TRUE(ReadReplyLine(&port, szLine, sizeof szLine, &nSeen, SystemClock()));
    EXPECT_STREQ(szLine, "ZT9047Q Field Unit VER 2.10");
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(OpenDescriptorsOf(unit.strPath), unit.nOwnDescriptors);
}

// At line rate the unit answers a frame once its last byte has crossed the
// emulated line (532 bytes of 10 bits at 921600 baud: 5.77 ms), never
// sooner, however the host's 64-byte pieces reach it, and without waiting
// long past that for the pieces it let queue while the line was busy.
TEST(FaultPty, LineRateAnswerFollowsTheFramesLastByte)
{
    SSimConfig c;
    c.bStartInBootloader = true;
    SPtyUnit unit(c);
    unit.server.SetLineRate(921600);
    ASSERT_TRUE(unit.Start());
    int fd = open(unit.strPath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios tio;
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 10; // 1 s
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
    auto readByte = [fd] {
        uint8_t by = 0;
        return read(fd, &by, 1) == 1 ? int(by) : -1;
    };
    const uint8_t sign = CInstrumentModel::kSign;
    const int nSign = CInstrumentModel::kSign, nAck = CInstrumentModel::kAck;
    ASSERT_EQ(write(fd, &sign, 1), 1);
    ASSERT_EQ(readByte(), nSign);

    std::vector<uint8_t> frame(532, 0x5a);
    frame[0] = 0x02; // 530 bytes follow the length
    frame[1] = 0x12;
    const auto nLineUs = std::chrono::microseconds(532LL * 10 * 1000000 / 921600);
    for (int i = 0; i < 5; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        for (size_t n = 0; n < frame.size(); n += 64)
            ASSERT_GT(write(fd, frame.data() + n, std::min<size_t>(64, frame.size() - n)), 0);
        ASSERT_EQ(readByte(), nAck) << "frame " << i;
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_GE(took, nLineUs) << "frame " << i;
        EXPECT_LT(took, nLineUs + std::chrono::milliseconds(100)) << "frame " << i;
    }
    close(fd);
}

// bench_web: the station page under load. 32 units at 2.10 updated at once
// by one zt9047q-flash (--port x32, each unit a zt9047q-sim --line-rate on
// its own pty), three ways: without --serve; with --serve and 20 clients
// reading /events; and the same with one more client that never reads.
// Each way runs in every round, rounds interleaved so that the machine's
// drift falls on all of them alike. Reports the batch time (first Download
// to last completion), the slowest unit, the tool's peak memory and the
// events each reader got.
//   bench_web [ROUNDS] [UNITS]
#include "BenchSupport.h"

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

using namespace bench;

namespace {

const int kReaders = 20;

struct SRun
{
    bool bOk = false;
    int nCompleted = 0;
    double dBatchMs = 0;
    double dSlowestUnitS = 0;
    double dRssMb = 0;
    long nEventsMin = 0, nEventsMax = 0;
};

int Connect(int nPort, bool bTinyBuffer)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (bTinyBuffer) {
        int n = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &n, sizeof n);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(nPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    static const char kRequest[] = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";
    if (write(fd, kRequest, sizeof kRequest - 1) != static_cast<ssize_t>(sizeof kRequest - 1)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads the stream until the server ends it; the events it carried.
long ReadEvents(int fd)
{
    long nEvents = 0;
    std::string strCarry;
    char buf[8192];
    for (;;) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        std::string s = strCarry + std::string(buf, static_cast<size_t>(r));
        for (size_t p = 0; (p = s.find("data: {", p)) != std::string::npos; p += 7)
            ++nEvents;
        strCarry = s.size() > 6 ? s.substr(s.size() - 6) : s;
    }
    close(fd);
    return nEvents;
}

// nMode 0: no page; 1: the page and its readers; 2: and one that never reads.
SRun RunBatch(int nUnits, int nMode)
{
    SRun run;
    std::vector<pid_t> sims;
    std::vector<int> simFds;
    std::vector<std::string> args = {ZT_FLASH_EXE};
    for (int i = 0; i < nUnits; ++i) {
        int fd = -1;
        pid_t pid = Spawn({ZT_SIM_EXE, "--firmware", "2.10", "--line-rate"}, &fd, true);
        std::string strPending;
        SLine line;
        char szPty[256] = {0};
        if (pid < 0 || !ReadLine(fd, &strPending, &line) || std::sscanf(line.str.c_str(), "%255s", szPty) != 1) {
            std::fprintf(stderr, "bench_web: a simulator did not start\n");
            return run;
        }
        sims.push_back(pid);
        simFds.push_back(fd);
        args.push_back("--port");
        args.push_back(szPty);
    }
    if (nMode > 0) {
        args.push_back("--serve");
        args.push_back("127.0.0.1:0");
    }
    int fdFlash = -1;
    pid_t pidFlash = Spawn(args, &fdFlash, true);
    std::vector<std::thread> readers;
    std::vector<long> events(kReaders, 0);
    std::atomic<int> fdStuck{-1};
    std::atomic<int> nConnected{0};
    double dFirstDownloadMs = -1, dLastCompleteMs = -1;
    std::string strPending;
    SLine line;
    while (ReadLine(fdFlash, &strPending, &line)) {
        int nPort = 0;
        if (std::sscanf(line.str.c_str(), "Station page: http://127.0.0.1:%d/", &nPort) == 1) {
            // Each client connects on its own thread: the server's short
            // listen backlog may keep one waiting, never this reading loop.
            for (int i = 0; i < kReaders; ++i)
                readers.emplace_back([nPort, i, &events, &nConnected] {
                    int fd = Connect(nPort, false);
                    if (fd >= 0) {
                        ++nConnected;
                        events[static_cast<size_t>(i)] = ReadEvents(fd);
                    }
                });
            if (nMode == 2)
                readers.emplace_back([nPort, &fdStuck] { fdStuck = Connect(nPort, true); });
            continue;
        }
        size_t nColon = line.str.find(": ");
        std::string strText = nColon == std::string::npos ? line.str : line.str.substr(nColon + 2);
        if (dFirstDownloadMs < 0 && strText.compare(0, 5, "Port:") == 0)
            dFirstDownloadMs = line.dMs;
        else if (strText == "ZT9047Q firmware updated to version 2.20") {
            dLastCompleteMs = line.dMs;
            ++run.nCompleted;
        } else if (strText.compare(0, 18, "Result: completed ") == 0) {
            // "... frames, 6.1 s)"
            size_t nComma = strText.rfind(", ");
            if (nComma != std::string::npos)
                run.dSlowestUnitS = std::max(run.dSlowestUnitS, std::atof(strText.c_str() + nComma + 2));
        }
    }
    int nStatus = 0;
    rusage ru;
    std::memset(&ru, 0, sizeof ru);
    wait4(pidFlash, &nStatus, 0, &ru);
    close(fdFlash);
    for (std::thread& t : readers)
        t.join();
    if (fdStuck >= 0)
        close(fdStuck);
    run.dRssMb = ru.ru_maxrss / 1024.0;
    run.dBatchMs = dLastCompleteMs - dFirstDownloadMs;
    if (nMode > 0) {
        run.nEventsMin = *std::min_element(events.begin(), events.end());
        run.nEventsMax = *std::max_element(events.begin(), events.end());
    }
    for (pid_t pid : sims)
        kill(pid, SIGTERM);
    for (size_t i = 0; i < sims.size(); ++i) {
        std::string strSim;
        SLine simLine;
        while (ReadLine(simFds[i], &strSim, &simLine)) {
        }
        close(simFds[i]);
        waitpid(sims[i], nullptr, 0);
    }
    run.bOk = WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 && run.nCompleted == nUnits
        && (nMode == 0 || nConnected == kReaders);
    return run;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    int nRounds = argc > 1 ? std::atoi(argv[1]) : 3;
    int nUnits = argc > 2 ? std::atoi(argv[2]) : 32;
    const char* names[] = {"no page", "20 readers", "20 readers + 1 stuck"};
    std::vector<double> batch[3], rss[3], slowest[3];
    bool bAllOk = true;
    std::printf("%d units at 2.10 at once (zt9047q-sim --line-rate on ptys), %d rounds\n\n", nUnits, nRounds);
    std::printf("%5s  %-22s %10s %10s %8s %14s\n", "round", "clients", "batch ms", "slowest s", "RSS MB", "events/reader");
    for (int r = 1; r <= nRounds; ++r) {
        for (int m = 0; m < 3; ++m) {
            SRun run = RunBatch(nUnits, m);
            bAllOk = bAllOk && run.bOk;
            batch[m].push_back(run.dBatchMs);
            rss[m].push_back(run.dRssMb);
            slowest[m].push_back(run.dSlowestUnitS);
            char szEvents[64] = "-";
            if (m > 0)
                std::snprintf(szEvents, sizeof szEvents, "%ld..%ld", run.nEventsMin, run.nEventsMax);
            std::printf("%5d  %-22s %10.1f %10.1f %8.2f %14s %s\n", r, names[m], run.dBatchMs, run.dSlowestUnitS,
                        run.dRssMb, szEvents, run.bOk ? "" : "FAILED");
            std::fflush(stdout);
        }
    }
    double dRatio = Median(batch[1]) / Median(batch[0]);
    double dRatioStuck = Median(batch[2]) / Median(batch[0]);
    double dStuckMb = Median(rss[2]) - Median(rss[1]);
    const double kStuckBoundMb = 1.0; // its queue (256 KiB) and socket buffers
    double dSlowerS = std::max(Median(slowest[1]), Median(slowest[2])) - Median(slowest[0]);
    bool bRatio = dRatio <= 1.02 && dRatioStuck <= 1.02;
    bool bStuck = dStuckMb <= kStuckBoundMb;
    bool bSlowed = dSlowerS <= 0.1;
    std::printf("\nmedians: batch ratio with 20 readers %.4f, with the stuck one too %.4f (target <= 1.02): %s\n",
                dRatio, dRatioStuck, Verdict(bRatio));
    std::printf("the client that never reads adds %.2f MB of peak RSS (bound %.1f MB): %s\n", dStuckMb, kStuckBoundMb,
                Verdict(bStuck));
    std::printf("slowest unit: %.1f s without the page, %.1f s with readers, %.1f s with the stuck one (<= +0.1 s): %s\n",
                Median(slowest[0]), Median(slowest[1]), Median(slowest[2]), Verdict(bSlowed));
    return bAllOk && bRatio && bStuck && bSlowed ? 0 : 1;
}

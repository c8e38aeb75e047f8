// bench_web: the station page under attack. 32 units at 2.10 updated at
// once by one zt9047q-flash (--port x32, each unit a zt9047q-sim
// --line-rate on its own pty): without --serve, then with --serve and no
// client, and with --serve against each attack in turn: 20 readers of
// /events (and one that never reads), a header flood (8 connections sending
// headers without end), 45 slow clients, an idle flood (1500 connections)
// and 10 parallel /records.csv of a day of 50,000 records. Each way runs in
// every round, rounds interleaved. Reports the batch time (first Download
// to last completion) against the batch with no client, the slowest unit,
// and the peak memory of zt9047q-flash and of the page process.
//   bench_web [ROUNDS] [UNITS]
#include "BenchSupport.h"

#include "RunRecord.h"
#include "SqliteStore.h"

#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <sys/resource.h>
#include <mutex>
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
    double dPageMb = 0;
    long nEventsMin = 0, nEventsMax = 0;
    double dAttackCpuMs = 0; // the attacking threads' CPU, all together
    double dPageCpuMs = 0;   // the page process's CPU
};

enum EMode { kNoPage, kNoClient, kReaders20, kStuck, kHeaderFlood, kSlow, kIdleFlood, kCsv, kModes };
const char* const kNames[kModes] = {"no page", "page, no client", "20 readers", "20 readers + 1 stuck",
                                    "header flood x8", "45 slow clients", "1500 idle connections", "10 x records.csv"};
const char* const kDay = "2026-03-01";

int Raw(int nPort, const char* pszFrom = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (pszFrom) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, pszFrom, &from.sin_addr);
        bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(nPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

long KbOf(pid_t pid, const char* pszKey)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, std::strlen(pszKey), pszKey) == 0) return std::atol(line.c_str() + std::strlen(pszKey) + 1);
    return 0;
}

pid_t ChildOf(pid_t parent)
{
    std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    pid_t pid = -1;
    in >> pid;
    return pid;
}

double PageCpuMs(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t n = s.rfind(')');
    unsigned long nUser = 0, nSystem = 0;
    if (n == std::string::npos
        || std::sscanf(s.c_str() + n + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &nUser, &nSystem) != 2)
        return 0;
    return 1000.0 * static_cast<double>(nUser + nSystem) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One attack until bStop: each connection made again as the server cuts it.
// Adds the attacking threads' CPU to *pdCpuMs.
void Attack(EMode eMode, int nPort, const std::atomic<bool>& bStop, std::atomic<double>* pdCpuMs)
{
    std::vector<std::thread> threads;
    auto loop = [&](int nThreads, auto body) {
        for (int i = 0; i < nThreads; ++i)
            threads.emplace_back([&, i] {
                // The attacker shares the machine's two cores here, as it
                // would not from the network: it runs at the page's own
                // priority, below the units.
                setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
                while (!bStop) body(i);
                rusage ru;
                getrusage(RUSAGE_THREAD, &ru);
                double d = pdCpuMs->load();
                while (!pdCpuMs->compare_exchange_weak(d, d + CpuMs(ru))) {
                }
            });
    };
    if (eMode == kHeaderFlood) {
        loop(8, [&](int) {
            int fd = Raw(nPort);
            if (fd < 0) return;
            std::string block = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
            while (block.size() < 65536) block += "X-Flood: " + std::string(1000, 'f') + "\r\n";
            // Up to 64 MB, until the server gives up on it.
            for (size_t n = 0; n < (64u << 20) && !bStop; n += block.size())
                if (send(fd, block.data(), block.size(), MSG_NOSIGNAL) <= 0) break;
            close(fd);
        });
    } else if (eMode == kSlow) {
        loop(45, [&](int i) {
            std::string from = "127.0.1." + std::to_string(1 + i);
            int fd = Raw(nPort, from.c_str());
            if (fd < 0) return;
            send(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ", 40, MSG_NOSIGNAL);
            while (!bStop && send(fd, "s", 1, MSG_NOSIGNAL) == 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            close(fd);
        });
    } else if (eMode == kIdleFlood) {
        loop(15, [&](int i) {
            std::vector<int> fds;
            for (int k = 0; k < 100 && !bStop; ++k) {
                std::string from = "127.0." + std::to_string(2 + i) + "." + std::to_string(1 + k);
                int fd = Raw(nPort, from.c_str());
                if (fd >= 0) fds.push_back(fd);
            }
            while (!bStop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            for (int fd : fds) close(fd);
        });
    } else if (eMode == kCsv) {
        loop(10, [&](int) {
            int fd = Raw(nPort);
            if (fd < 0) return;
            std::string req = std::string("GET /records.csv?day=") + kDay + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
            send(fd, req.data(), req.size(), MSG_NOSIGNAL);
            char buf[65536];
            while (read(fd, buf, sizeof buf) > 0) {}
            close(fd);
        });
    }
    for (auto& t : threads) t.join();
}

int Connect(int nPort, bool bTinyBuffer, int nClient)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    // Each reader from an address of its own, as from machines of their own.
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl((127u << 24) | (5u << 8) | static_cast<unsigned>(1 + nClient));
    bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
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

SRun RunBatch(int nUnits, int nMode, const std::string& strRecords)
{
    SRun run;
    std::vector<SLineRateSim> sims;
    std::vector<std::string> args = {ZT_FLASH_EXE};
    if (!StartSims(nUnits, &sims))
        return run;
    for (const SLineRateSim& sim : sims) {
        args.push_back("--port");
        args.push_back(sim.strPty);
    }
    if (nMode > 0) {
        args.push_back("--serve");
        args.push_back("127.0.0.1:0");
    }
    if (nMode == kCsv) {
        args.push_back("--record");
        args.push_back(strRecords);
    }
    int fdFlash = -1;
    pid_t pidFlash = Spawn(args, &fdFlash, true);
    std::vector<std::thread> readers;
    std::vector<long> events(kReaders, 0);
    std::atomic<int> fdStuck{-1};
    std::atomic<int> nConnected{0};
    std::atomic<bool> bStop{false};
    std::atomic<long> nPageKb{0};
    std::atomic<double> dAttackCpuMs{0}, dPageCpuMs{0};
    double dFirstDownloadMs = -1, dLastCompleteMs = -1;
    std::string strPending;
    SLine line;
    while (ReadLine(fdFlash, &strPending, &line)) {
        int nPort = 0;
        if (std::sscanf(line.str.c_str(), "Station page: http://127.0.0.1:%d/", &nPort) == 1) {
            // Each client connects on its own thread: the server's short
            // listen backlog may keep one waiting, never this reading loop.
            readers.emplace_back([&, nPort] {
                if (nMode >= kHeaderFlood) Attack(static_cast<EMode>(nMode), nPort, bStop, &dAttackCpuMs);
            });
            // The page process's peak, sampled until it ends.
            readers.emplace_back([&] {
                pid_t page = -1;
                while (!bStop) {
                    if (page <= 0) page = ChildOf(pidFlash);
                    if (page > 0) {
                        nPageKb = std::max(nPageKb.load(), KbOf(page, "VmHWM:"));
                        dPageCpuMs = std::max(dPageCpuMs.load(), PageCpuMs(page));
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            });
            for (int i = 0; nMode == kReaders20 || nMode == kStuck ? i < kReaders : false; ++i)
                readers.emplace_back([nPort, i, &events, &nConnected] {
                    int fd = Connect(nPort, false, i);
                    if (fd >= 0) {
                        ++nConnected;
                        events[static_cast<size_t>(i)] = ReadEvents(fd);
                    }
                });
            if (nMode == kStuck)
                readers.emplace_back([nPort, &fdStuck] { fdStuck = Connect(nPort, true, 100); });
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
    bStop = true;
    for (std::thread& t : readers)
        t.join();
    if (fdStuck >= 0)
        close(fdStuck);
    run.dRssMb = ru.ru_maxrss / 1024.0;
    run.dPageMb = nPageKb / 1024.0;
    run.dAttackCpuMs = dAttackCpuMs;
    run.dPageCpuMs = dPageCpuMs;
    run.dBatchMs = dLastCompleteMs - dFirstDownloadMs;
    if (nMode == kReaders20 || nMode == kStuck) {
        run.nEventsMin = *std::min_element(events.begin(), events.end());
        run.nEventsMax = *std::max_element(events.begin(), events.end());
    }
    StopSims(sims);
    run.bOk = WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 && run.nCompleted == nUnits
        && (!(nMode == kReaders20 || nMode == kStuck) || nConnected == kReaders);
    return run;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}


// A day of 50,000 records, for the CSV attack (the station adds its runs).
bool MakeRecords(const std::string& strPath)
{
    CSqliteStore store;
    std::string strError;
    if (!store.OpenForWriting(strPath, 2000, &strError)) return false;
    for (int i = 0; i < 50000; ++i) {
        SRunRecord r;
        r.strId = "00000000-0000-4000-8000-" + std::to_string(100000000000LL + i);
        r.strHost = "bench";
        r.strPort = "COM" + std::to_string(10 + i % 32);
        r.strUsbSerial = "SN" + std::to_string(i);
        r.strResult = i % 10 ? "completed" : "silence";
        char t[40];
        std::snprintf(t, sizeof t, "%sT%02d:%02d:%02d.%03dZ", kDay, (i / 3600) % 24, (i / 60) % 60, i % 60, i % 1000);
        r.strStartedAt = t;
        r.strEndedAt = r.strStartedAt;
        r.nElapsedMs = 6100;
        if (!store.Put(r, nullptr, &strError)) return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int nRounds = argc > 1 ? std::atoi(argv[1]) : 3;
    int nUnits = argc > 2 ? std::atoi(argv[2]) : 32;
    // Further arguments pick attacks by a word of their name ("flood",
    // "slow", "idle", "csv", "readers", "stuck"); the two batches without a
    // client always run.
    bool bRun[kModes];
    for (int m = 0; m < kModes; ++m)
        bRun[m] = argc <= 3 || m <= kNoClient;
    for (int i = 3; i < argc; ++i)
        for (int m = kReaders20; m < kModes; ++m)
            if (std::strstr(kNames[m], argv[i]) || (std::strcmp(argv[i], "stuck") == 0 && m == kStuck)
                || (std::strcmp(argv[i], "readers") == 0 && m == kReaders20))
                bRun[m] = true;
    char szDir[] = "/tmp/bench_webXXXXXX";
    const std::string strRecords = std::string(mkdtemp(szDir)) + "/records.db";
    if (!MakeRecords(strRecords)) {
        std::fprintf(stderr, "bench_web: cannot make the records\n");
        return 1;
    }
    std::vector<double> batch[kModes], rss[kModes], page[kModes], slowest[kModes];
    bool bAllOk = true;
    std::printf("%d units at 2.10 at once (zt9047q-sim --line-rate on ptys), %d rounds\n\n", nUnits, nRounds);
    std::printf("%5s  %-24s %10s %10s %9s %9s %14s %9s %9s\n", "round", "clients", "batch ms", "slowest s", "flash MB",
                "page MB", "events/reader", "page CPU", "attacker");
    for (int r = 1; r <= nRounds; ++r) {
        for (int m = 0; m < kModes; ++m) {
            if (!bRun[m])
                continue;
            SRun run = RunBatch(nUnits, m, strRecords);
            bAllOk = bAllOk && run.bOk;
            batch[m].push_back(run.dBatchMs);
            rss[m].push_back(run.dRssMb);
            page[m].push_back(run.dPageMb);
            slowest[m].push_back(run.dSlowestUnitS);
            char szEvents[64] = "-";
            if (m == kReaders20 || m == kStuck)
                std::snprintf(szEvents, sizeof szEvents, "%ld..%ld", run.nEventsMin, run.nEventsMax);
            std::printf("%5d  %-24s %10.1f %10.1f %9.2f %9.2f %14s %7.0f ms %6.0f ms %s\n", r, kNames[m],
                        run.dBatchMs, run.dSlowestUnitS, run.dRssMb, run.dPageMb, szEvents, run.dPageCpuMs,
                        run.dAttackCpuMs, run.bOk ? "" : "FAILED");
            std::fflush(stdout);
        }
    }
    std::printf("\nmedians against the batch with no client (target <= 1.02 each):\n");
    bool bRatio = true;
    for (int m = kReaders20; m < kModes; ++m) {
        if (!bRun[m])
            continue;
        double dRatio = Median(batch[m]) / Median(batch[kNoClient]);
        bRatio = bRatio && dRatio <= 1.02;
        std::printf("  %-24s %.4f  slowest unit %.1f s  flash %.2f MB  page %.2f MB: %s\n", kNames[m], dRatio,
                    Median(slowest[m]), Median(rss[m]), Median(page[m]), Verdict(dRatio <= 1.02));
    }
    std::printf("  (no page: %.1f ms, %.2f MB; the page with no client: %.1f ms, flash %.2f MB, page %.2f MB)\n",
                Median(batch[kNoPage]), Median(rss[kNoPage]), Median(batch[kNoClient]), Median(rss[kNoClient]),
                Median(page[kNoClient]));
    std::system(("rm -rf " + strRecords.substr(0, strRecords.rfind('/'))).c_str());
    return bAllOk && bRatio ? 0 : 1;
}

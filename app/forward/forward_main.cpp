// zt9047q-forward: sends the records a station spooled to the PostgreSQL
// server they are for. The station starts it (--station) when its --record
// target is a server; a bench forwards on its own with the systemd unit or
// --once; zt9047q-flash --records postgresql://... reads through it.
#include "BuildVersion.h"
#include "Forwarding.h"
#include "PgStore.h"
#include "RecordsExport.h"
#include "RunRecorder.h"
#include "SqliteStore.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const char* const kUsage =
    "Usage: zt9047q-forward [--once] [--spool FILE] [--target URL]\n"
    "       zt9047q-forward --move-from OLD [--spool FILE] [--target URL]\n"
    "       zt9047q-forward --records URL [--since TIME] [--until TIME] [--result R]\n"
    "                       [--format csv|jsonl|count]\n"
    "Sends the runs a station recorded in its spool to the PostgreSQL server\n"
    "they are for, each row once (by its id), oldest first; rows spooled for\n"
    "another server stay in the spool for it.\n"
    "\n"
    "  --spool FILE     the station's spool (default: $XDG_STATE_HOME/zt9047q/spool.db,\n"
    "                   else ~/.local/state/zt9047q/spool.db)\n"
    "  --target URL     the server (postgresql://...); default: the environment\n"
    "                   variable ZT9047Q_FORWARD_URL, which keeps a password out\n"
    "                   of the process list\n"
    "  --once           send what waits now and exit: 0 when nothing is left,\n"
    "                   3 when the server did not answer and rows wait, 1 when\n"
    "                   it refused or the spool cannot be read\n"
    "  --move-from OLD  give the rows still waiting for server OLD (or 'none':\n"
    "                   rows spooled before rows named their server) to the\n"
    "                   target, and exit\n"
    "  --records URL    print the server's records, as zt9047q-flash --records\n"
    "  --version        show the program's version\n"
    "Without --once it forwards until SIGTERM or SIGINT, looking for new rows\n"
    "every second.\n";

const int kBatch = 200;
const rlim_t kMemoryCeiling = 256u << 20;
const int kFirstRetryMs = 100;
const int kMaxRetryMs = 2000;
const int kIdlePollMs = 1000;
// After the station closed its end: what is left goes within this, or
// waits in the spool for the next run.
const int kFinishMs = 3000;

std::atomic<bool> g_bStop(false);
int g_fdStopWrite = -1;

void OnStopSignal(int)
{
    g_bStop.store(true);
    // A call that cannot be woken: end now (the spool is marked only after
    // the server committed, so nothing is lost or doubled).
    if (PgInUninterruptibleCall())
        _exit(0);
    const int nErrno = errno;
    (void)!write(g_fdStopWrite, "s", 1);
    errno = nErrno;
}

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class CForwarder
{
public:
    CForwarder(const std::string& strUrl, int fdStop) : m_strUrl(strUrl), m_strTarget(TargetWithoutPassword(strUrl))
    {
        m_server.SetStopFd(fdStop);
    }

    bool OpenSpool(const std::string& strSpool, std::string* pErr)
    {
        // Short waits for the station's lock: a stop is seen between them.
        return m_spool.OpenForWriting(strSpool, 1000, pErr);
    }

    // Connects and checks the schema when not yet done.
    CPgStore::EConnect Reach(std::string* pErr)
    {
        if (!m_server.Connected()) {
            const CPgStore::EConnect e = m_server.Connect(m_strUrl, pErr);
            if (e != CPgStore::kConnected)
                return e;
            m_bSchema = false;
        }
        if (!m_bSchema) {
            if (!m_server.EnsureSchema(pErr)) {
                const bool bNoAnswer = m_server.NoAnswer();
                m_server.Close();
                return bNoAnswer ? CPgStore::kUnreachable : CPgStore::kRefused;
            }
            m_bSchema = true;
        }
        return CPgStore::kConnected;
    }

    // One batch: the number of rows sent, or -1 on a fault (*pErr).
    int Step(std::string* pErr)
    {
        if (Reach(pErr) != CPgStore::kConnected)
            return -1;
        std::vector<CSqliteStore::SPending> rows;
        if (!m_spool.TakePending(m_strTarget, kBatch, &rows, pErr))
            return -1;
        if (rows.empty())
            return 0;
        std::vector<SRunRecord> recs;
        for (const CSqliteStore::SPending& row : rows)
            recs.push_back(row.rec);
        // Sent first, marked after: a kill between the two sends the rows
        // again, and the server takes them again by their id.
        if (!m_server.PutBatch(recs, pErr)) {
            m_server.Close();
            return -1;
        }
        if (!m_spool.MarkForwarded(rows, pErr))
            return -1;
        return static_cast<int>(rows.size());
    }

    CSqliteStore& Spool() { return m_spool; }
    const std::string& Target() const { return m_strTarget; }

private:
    std::string m_strUrl, m_strTarget;
    CSqliteStore m_spool;
    CPgStore m_server;
    bool m_bSchema = false;
};

void Report(const std::string& strLine)
{
    const std::string s = strLine + "\n";
    (void)!write(1, s.data(), s.size());
}

std::string OneLine(std::string s)
{
    std::replace(s.begin(), s.end(), '\n', ' ');
    std::replace(s.begin(), s.end(), '\t', ' ');
    return s;
}

// Waits for the stop pipe or (with fdNudge) a nudge, at most nMs. False on
// a stop; *pbEnded when the nudging side closed its end.
bool Pause(int fdStop, int fdNudge, int nMs, bool* pbEnded)
{
    struct pollfd fds[2] = {{fdStop, POLLIN, 0}, {fdNudge, POLLIN, 0}};
    const int n = poll(fds, fdNudge >= 0 ? 2 : 1, nMs);
    if (g_bStop.load() || (n > 0 && (fds[0].revents & POLLIN)))
        return false;
    if (fdNudge >= 0 && n > 0 && fds[1].revents) {
        char buf[256];
        const ssize_t nRead = read(fdNudge, buf, sizeof buf);
        if (nRead == 0 || (nRead < 0 && errno != EINTR && errno != EAGAIN))
            *pbEnded = true;
    }
    return true;
}

// Forwards until stopped. Station mode: reports on standard output, nudged
// through standard input, and finishes within kFinishMs once that closes.
int Serve(CForwarder& fwd, int fdStop, bool bStation)
{
    int nRetryMs = kFirstRetryMs;
    std::string strLastFault;
    bool bEnded = false;
    long long nFinishBy = 0;
    long long nSent = 0;
    while (!g_bStop.load()) {
        std::string strErr;
        const int n = fwd.Step(&strErr);
        if (n > 0) {
            nSent += n;
            nRetryMs = kFirstRetryMs;
            if (!strLastFault.empty() && !bStation)
                std::fprintf(stderr, "zt9047q-forward: %s answers again\n", fwd.Target().c_str());
            strLastFault.clear();
            continue;
        }
        if (n == 0 && nSent && !bStation) {
            std::fprintf(stderr, "zt9047q-forward: %lld %s sent to %s\n", nSent, nSent == 1 ? "row" : "rows",
                         fwd.Target().c_str());
            nSent = 0;
        }
        if (n < 0 && strErr != strLastFault) {
            if (bStation)
                Report("fault\t" + OneLine(strErr));
            else
                std::fprintf(stderr, "zt9047q-forward: %s (the rows wait in the spool)\n", strErr.c_str());
            strLastFault = strErr;
        }
        if (bEnded && (n == 0 || NowMs() >= nFinishBy))
            return n == 0 ? 0 : 3;
        int nWaitMs = n < 0 ? nRetryMs : kIdlePollMs;
        if (bEnded)
            nWaitMs = static_cast<int>(std::max(0LL, std::min<long long>(nWaitMs, nFinishBy - NowMs())));
        const bool bWasEnded = bEnded;
        if (!Pause(fdStop, bStation && !bEnded ? 0 : -1, nWaitMs, &bEnded))
            break;
        if (bEnded && !bWasEnded)
            nFinishBy = NowMs() + kFinishMs;
        if (n < 0)
            nRetryMs = std::min(nRetryMs * 2, kMaxRetryMs);
    }
    return 0;
}

int Once(CForwarder& fwd)
{
    long long nSent = 0;
    for (;;) {
        std::string strErr;
        const int n = fwd.Step(&strErr);
        if (n > 0) {
            nSent += n;
            continue;
        }
        SPendingCounts pending;
        std::string strCountErr;
        const bool bCounted = fwd.Spool().CountPending(fwd.Target(), "", &pending, &strCountErr);
        if (n == 0) {
            std::printf("zt9047q-forward: %lld %s sent to %s; none left.\n", nSent, nSent == 1 ? "row" : "rows",
                        fwd.Target().c_str());
            return 0;
        }
        std::fprintf(stderr, "zt9047q-forward: %lld %s sent to %s, %s still in the spool: %s\n", nSent,
                     nSent == 1 ? "row" : "rows", fwd.Target().c_str(),
                     bCounted ? std::to_string(pending.Total()).c_str() : "some", strErr.c_str());
        return 3;
    }
}

int Usage(const std::string& strWhy)
{
    std::fprintf(stderr, "zt9047q-forward: %s\n%s", strWhy.c_str(), kUsage);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string strSpool, strTarget, strMoveFrom, strRecords;
    bool bOnce = false, bStation = false, bMove = false;
    SRecordsExport request;
    bool bExportFlags = false;
    std::string strFormat;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string* p) {
            if (i + 1 >= argc)
                return false;
            *p = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("zt9047q-forward %s\n", ZT_PROGRAM_VERSION_TEXT);
            return 0;
        } else if (a == "--once") {
            bOnce = true;
        } else if (a == "--station") {
            bStation = true;
        } else if (a == "--spool" || a == "--target" || a == "--records" || a == "--move-from" || a == "--since"
                   || a == "--until" || a == "--result" || a == "--format") {
            std::string* p = a == "--spool" ? &strSpool
                : a == "--target"           ? &strTarget
                : a == "--records"          ? &strRecords
                : a == "--move-from"        ? &strMoveFrom
                : a == "--since"            ? &request.strSince
                : a == "--until"            ? &request.strUntil
                : a == "--result"           ? &request.strResult
                                            : &strFormat;
            if (!value(p))
                return Usage(a + " needs a value");
            bMove = bMove || a == "--move-from";
            bExportFlags = bExportFlags || a == "--since" || a == "--until" || a == "--result" || a == "--format";
        } else {
            return Usage("unexpected argument '" + a + "'");
        }
    }
    // Asks for the least: no new privileges for anything it might start,
    // and a ceiling on its memory (a batch is 200 rows; an export streams).
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
#ifndef __SANITIZE_ADDRESS__ // the sanitizer reserves terabytes of address space
    const struct rlimit memory = {kMemoryCeiling, kMemoryCeiling};
    setrlimit(RLIMIT_AS, &memory);
#endif
    signal(SIGPIPE, SIG_IGN);

    int fdStop[2];
    if (pipe2(fdStop, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    g_fdStopWrite = fdStop[1];
    struct sigaction sa = {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(nSignal, &sa, nullptr);
    // Under a station, Ctrl-C at its terminal is the station's question
    // (the operator may answer No and go on): the station ends this
    // program itself, by closing its input or with SIGTERM.
    if (bStation)
        signal(SIGINT, SIG_IGN);

    if (!strRecords.empty()) {
        if (!IsServerTarget(strRecords))
            return Usage("--records takes a postgresql:// URL here (an SQLite file: zt9047q-flash --records)");
        request.strTarget = strRecords;
        if (const char* psz = std::getenv("ZT9047Q_EXPORT_AS"))
            request.strProgram = psz;
        else
            request.strProgram = "zt9047q-forward";
        if (!strFormat.empty() && !ParseRecordsFormat(strFormat, &request.eFormat))
            return Usage("--format " + strFormat + ": csv, jsonl or count");
        return ExportRecords(request, stdout, stderr,
                             [&](const SRecordFilter& filter, const std::function<void(const SRunRecord&)>& onRecord,
                                 std::string* pErr) {
                                 CPgStore server;
                                 SServerLimits limits;
                                 limits.nConnectTimeoutS = 10;
                                 limits.nStatementTimeoutMs = 300000; // a year of records may take a while
                                 server.SetLimits(limits);
                                 server.SetStopFd(fdStop[0]);
                                 return server.Connect(strRecords, pErr) == CPgStore::kConnected
                                     && server.Query(filter, onRecord, pErr);
                             });
    }
    if (bExportFlags)
        return Usage("--since, --until, --result and --format go with --records");

    if (strTarget.empty())
        if (const char* psz = std::getenv(kForwardUrlVariable))
            strTarget = psz;
    if (!IsServerTarget(strTarget))
        return Usage(strTarget.empty() ? "no server: give --target postgresql://... or set ZT9047Q_FORWARD_URL"
                                       : "--target " + strTarget + ": not a postgresql:// URL");
    if (strSpool.empty())
        strSpool = DefaultSpoolPath();

    CForwarder fwd(strTarget, fdStop[0]);
    std::string strErr;
    if (!fwd.OpenSpool(strSpool, &strErr)) {
        if (bStation)
            Report("refused\tspool: " + OneLine(strErr));
        else
            std::fprintf(stderr, "zt9047q-forward: spool: %s\n", strErr.c_str());
        return 1;
    }
    if (bMove) {
        const std::string strFrom = strMoveFrom == "none" ? "" : TargetWithoutPassword(strMoveFrom);
        int64_t nMoved = 0;
        if (!fwd.Spool().MoveTarget(strFrom, fwd.Target(), &nMoved, &strErr)) {
            std::fprintf(stderr, "zt9047q-forward: %s\n", strErr.c_str());
            return 1;
        }
        std::printf("zt9047q-forward: %lld %s of %s now %s to %s.\n", static_cast<long long>(nMoved),
                    nMoved == 1 ? "row" : "rows", strFrom.empty() ? "no named server" : strFrom.c_str(),
                    nMoved == 1 ? "goes" : "go", fwd.Target().c_str());
        return 0;
    }

    // The first contact decides what the station does: a server that
    // refuses stops it before any unit; one that does not answer leaves the
    // rows to the spool.
    switch (fwd.Reach(&strErr)) {
    case CPgStore::kConnected:
        if (bStation)
            Report("ready");
        break;
    case CPgStore::kRefused:
        if (bStation)
            Report("refused\t" + OneLine(strErr));
        else
            std::fprintf(stderr, "zt9047q-forward: %s\n", strErr.c_str());
        return 1;
    case CPgStore::kUnreachable:
        if (bStation)
            Report("unreachable\t" + OneLine(strErr));
        else if (bOnce) {
            std::fprintf(stderr, "zt9047q-forward: %s; the rows wait in the spool %s\n", strErr.c_str(),
                         strSpool.c_str());
            return 3;
        } else {
            std::fprintf(stderr, "zt9047q-forward: %s (the rows wait in the spool)\n", strErr.c_str());
        }
        break;
    }
    if (g_bStop.load())
        return 0;
    return bOnce ? Once(fwd) : Serve(fwd, fdStop[0], bStation);
}

#include "RunRecorder.h"
#include "PgStore.h"
#include "SqliteStore.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

typedef std::chrono::steady_clock Clock;

const int kFirstRetryMs = 50;
const int kForwardBatch = 200;

// The caller's 8-bit texts as the stores keep them (UTF-8).
SRunRecord ForStore(SRunRecord rec)
{
    for (std::string* p : {&rec.strHost, &rec.strUser, &rec.strPort, &rec.strText})
        *p = Latin1ToUtf8(*p);
    for (std::optional<std::string>* p : {&rec.strSlot, &rec.strUsbPath, &rec.strUsbSerial})
        if (*p)
            **p = Latin1ToUtf8(**p);
    return rec;
}

// mkdir -p of the folders above a file.
bool MakeParents(const std::string& strFile, std::string* pErr)
{
    for (size_t i = 1; (i = strFile.find('/', i)) != std::string::npos; ++i) {
        const std::string strDir = strFile.substr(0, i);
        if (mkdir(strDir.c_str(), 0700) != 0 && errno != EEXIST) {
            *pErr = "cannot create " + strDir + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

} // namespace

std::string DefaultSpoolPath()
{
    std::string strBase;
    const char* pszState = std::getenv("XDG_STATE_HOME");
    if (pszState && pszState[0] == '/') {
        strBase = pszState;
    } else {
        const char* pszHome = std::getenv("HOME");
        std::string strHome = pszHome ? pszHome : "";
        if (strHome.empty())
            if (const struct passwd* pw = getpwuid(geteuid()))
                strHome = pw->pw_dir;
        strBase = strHome + "/.local/state";
    }
    return strBase + "/zt9047q/spool.db";
}

struct CRunRecorder::SState
{
    SRecorderOptions options;
    bool bServer = false;
    std::string strStorePath;
    CSqliteStore writerStore;
    CSqliteStore forwardStore;
    CPgStore server;
    bool bSchemaChecked = false;

    mutable std::mutex mx;
    std::condition_variable cvWriter;
    std::condition_variable cvForward;
    std::deque<SRunRecord> queue;
    struct SRun
    {
        int nQueued = 0;
        int nDone = 0;
    };
    std::map<std::string, SRun> runs;
    bool bStopWriter = false;
    bool bStopForward = false;
    bool bWakeForward = true;
    Clock::time_point stopBy;
    int64_t nPending = 0;
    std::string strLastError;
    std::thread writer;
    std::thread forwarder;

    void Queue(const SRunRecord& rec)
    {
        {
            std::lock_guard<std::mutex> lk(mx);
            queue.push_back(rec);
            ++runs[rec.strId].nQueued;
        }
        cvWriter.notify_one();
    }

    void WriterLoop();
    void ForwarderLoop();
    // One round of the forwarder: true when it moved rows.
    bool ForwardSome(bool* pbFault, std::string* pErr, int64_t* pnPending);
};

void CRunRecorder::SState::WriterLoop()
{
    std::unique_lock<std::mutex> lk(mx);
    int nRetryMs = kFirstRetryMs;
    for (;;) {
        cvWriter.wait(lk, [&] { return !queue.empty() || bStopWriter; });
        if (queue.empty())
            break;
        const SRunRecord rec = queue.front();
        lk.unlock();
        std::string strErr;
        int64_t nPendingNow = -1;
        bool bOk = writerStore.Put(ForStore(rec), bServer, &strErr);
        std::string strIgnored;
        if (bOk && bServer && !writerStore.CountPending(&nPendingNow, &strIgnored))
            nPendingNow = -1;
        lk.lock();
        if (bOk) {
            queue.pop_front();
            ++runs[rec.strId].nDone;
            if (nPendingNow >= 0)
                nPending = nPendingNow;
            nRetryMs = kFirstRetryMs;
            bWakeForward = true;
            cvForward.notify_one();
            continue;
        }
        // A full disk or a lock held too long: keep the record at the head
        // (records stay in order) and try again after a growing pause.
        strLastError = strErr;
        if (bStopWriter && Clock::now() >= stopBy)
            break;
        const bool bStopBefore = bStopWriter;
        cvWriter.wait_for(lk, std::chrono::milliseconds(nRetryMs), [&] { return bStopWriter != bStopBefore; });
        nRetryMs = std::min(nRetryMs * 2, options.nMaxRetryMs);
    }
}

bool CRunRecorder::SState::ForwardSome(bool* pbFault, std::string* pErr, int64_t* pnPending)
{
    *pbFault = false;
    if (!server.Connected()) {
        if (server.Connect(options.strTarget, options.nConnectTimeoutS, pErr) != CPgStore::kConnected) {
            *pbFault = true;
            return false;
        }
        bSchemaChecked = false;
    }
    if (!bSchemaChecked) {
        if (!server.EnsureSchema(pErr)) {
            server.Close();
            *pbFault = true;
            return false;
        }
        bSchemaChecked = true;
    }
    std::vector<CSqliteStore::SPending> rows;
    if (!forwardStore.TakePending(kForwardBatch, &rows, pErr)) {
        *pbFault = true;
        return false;
    }
    if (rows.empty()) {
        *pnPending = 0;
        return false;
    }
    std::vector<SRunRecord> recs;
    for (const CSqliteStore::SPending& row : rows)
        recs.push_back(row.rec);
    // Sent first, marked after: a crash between the two sends the rows
    // again, and the server takes them again by their id.
    if (!server.PutBatch(recs, pErr)) {
        server.Close();
        *pbFault = true;
        return false;
    }
    if (!forwardStore.MarkForwarded(rows, pErr) || !forwardStore.CountPending(pnPending, pErr)) {
        *pbFault = true;
        return false;
    }
    return true;
}

void CRunRecorder::SState::ForwarderLoop()
{
    std::unique_lock<std::mutex> lk(mx);
    int nRetryMs = kFirstRetryMs * 2;
    for (;;) {
        if (bStopForward && (nPending == 0 || Clock::now() >= stopBy))
            break;
        bWakeForward = false;
        lk.unlock();
        bool bFault = false;
        std::string strErr;
        int64_t nPendingNow = -1;
        const bool bMoved = ForwardSome(&bFault, &strErr, &nPendingNow);
        lk.lock();
        if (nPendingNow >= 0)
            nPending = nPendingNow;
        if (bMoved) {
            nRetryMs = kFirstRetryMs * 2;
            continue;
        }
        if (bFault) {
            // The server away, or the network cut: the rows wait in the
            // spool; try again after a growing pause.
            strLastError = strErr;
            if (bStopForward && Clock::now() >= stopBy)
                break;
            // New rows do not cut the pause short; the stop does.
            const bool bStopBefore = bStopForward;
            cvForward.wait_for(lk, std::chrono::milliseconds(nRetryMs), [&] { return bStopForward != bStopBefore; });
            nRetryMs = std::min(nRetryMs * 2, options.nMaxRetryMs);
            continue;
        }
        if (bStopForward)
            break;
        cvForward.wait(lk, [&] { return bWakeForward || bStopForward; });
    }
}

CRunRecorder::CRunRecorder() : m_p(new SState) {}

CRunRecorder::~CRunRecorder()
{
    Close();
}

bool CRunRecorder::Open(const SRecorderOptions& options, std::string* pErr, std::string* pWarning)
{
    SState& s = *m_p;
    s.options = options;
    s.bServer = IsPostgresTarget(options.strTarget);
    if (!s.bServer) {
        s.strStorePath = options.strTarget;
        return s.writerStore.OpenForWriting(s.strStorePath, options.nBusyTimeoutMs, pErr)
            && (s.writer = std::thread([&s] { s.WriterLoop(); }), true);
    }
    s.strStorePath = options.strSpool.empty() ? DefaultSpoolPath() : options.strSpool;
    std::string strErr;
    if (!MakeParents(s.strStorePath, &strErr) || !s.writerStore.OpenForWriting(s.strStorePath, options.nBusyTimeoutMs, &strErr)
        || !s.forwardStore.OpenForWriting(s.strStorePath, options.nBusyTimeoutMs, &strErr)
        || !s.forwardStore.CountPending(&s.nPending, &strErr)) {
        *pErr = "spool: " + strErr;
        return false;
    }
    switch (s.server.Connect(options.strTarget, options.nConnectTimeoutS, &strErr)) {
    case CPgStore::kConnected:
        if (!s.server.EnsureSchema(&strErr)) {
            *pErr = strErr;
            return false;
        }
        s.bSchemaChecked = true;
        break;
    case CPgStore::kRefused: *pErr = strErr; return false;
    case CPgStore::kUnreachable:
        *pWarning = strErr + "; records are kept in the spool " + s.strStorePath + " and sent when the server answers";
        break;
    }
    s.writer = std::thread([&s] { s.WriterLoop(); });
    s.forwarder = std::thread([&s] { s.ForwarderLoop(); });
    return true;
}

void CRunRecorder::RunStarted(const SRunRecord& rec)
{
    m_p->Queue(rec);
}

void CRunRecorder::RunEnded(const SRunRecord& rec)
{
    m_p->Queue(rec);
}

std::vector<SRunRecord> CRunRecorder::Close()
{
    SState& s = *m_p;
    {
        std::lock_guard<std::mutex> lk(s.mx);
        s.stopBy = Clock::now() + std::chrono::milliseconds(s.options.nShutdownWaitMs);
        s.bStopWriter = true;
    }
    s.cvWriter.notify_all();
    if (s.writer.joinable())
        s.writer.join();
    {
        std::lock_guard<std::mutex> lk(s.mx);
        s.bStopForward = true;
    }
    s.cvForward.notify_all();
    if (s.forwarder.joinable())
        s.forwarder.join();

    // The latest state of each run still queued, in the order the runs came.
    std::vector<SRunRecord> unsaved;
    std::lock_guard<std::mutex> lk(s.mx);
    for (const SRunRecord& rec : s.queue) {
        auto it = std::find_if(unsaved.begin(), unsaved.end(),
                               [&](const SRunRecord& r) { return r.strId == rec.strId; });
        if (it == unsaved.end())
            unsaved.push_back(rec);
        else
            *it = rec;
    }
    s.queue.clear();
    return unsaved;
}

SRecorderCounts CRunRecorder::Counts() const
{
    std::lock_guard<std::mutex> lk(m_p->mx);
    SRecorderCounts counts;
    for (const auto& run : m_p->runs)
        ++(run.second.nDone == run.second.nQueued ? counts.nSaved : counts.nUnsaved);
    counts.nPendingForward = m_p->nPending;
    return counts;
}

std::string CRunRecorder::LastError() const
{
    std::lock_guard<std::mutex> lk(m_p->mx);
    return m_p->strLastError;
}

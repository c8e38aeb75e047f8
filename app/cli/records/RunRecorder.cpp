#include "RunRecorder.h"
#include "Forwarding.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

typedef std::chrono::steady_clock Clock;

const int kFirstRetryMs = 50;

int MsUntil(Clock::time_point t)
{
    const auto n = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return n < 0 ? 0 : static_cast<int>(n);
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
    SSpoolTag spoolTag; // with a server: where the rows go, and this station's mark
    CSqliteStore store;
    CForwarderLink forwarder;

    mutable std::mutex mx;
    std::condition_variable cvWriter;
    std::deque<SRunRecord> queue;
    struct SRun
    {
        int nQueued = 0;
        int nDone = 0;
    };
    std::map<std::string, SRun> runs;
    bool bStopWriter = false;
    Clock::time_point stopBy;
    bool bPendingKnown = true;
    SPendingCounts pending;
    std::string strLastError;
    std::thread writer;
    bool bClosed = false;

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
        const bool bOk = store.Put(RecordForStore(rec), bServer ? &spoolTag : nullptr, &strErr);
        if (bOk && bServer)
            forwarder.Nudge();
        lk.lock();
        if (bOk) {
            queue.pop_front();
            ++runs[rec.strId].nDone;
            nRetryMs = kFirstRetryMs;
            continue;
        }
        // A full disk or a lock held too long: keep the record at the head
        // (records stay in order) and try again after a growing pause, cut
        // to the close's deadline.
        strLastError = strErr;
        if (bStopWriter && Clock::now() >= stopBy)
            break;
        const bool bStopBefore = bStopWriter;
        int nPauseMs = nRetryMs;
        if (bStopWriter)
            nPauseMs = std::min(nPauseMs, MsUntil(stopBy));
        cvWriter.wait_for(lk, std::chrono::milliseconds(nPauseMs), [&] { return bStopWriter != bStopBefore; });
        nRetryMs = std::min(nRetryMs * 2, options.nMaxRetryMs);
    }
}

CRunRecorder::CRunRecorder() : m_p(new SState) {}

CRunRecorder::~CRunRecorder()
{
    Close(true);
}

bool CRunRecorder::Open(const SRecorderOptions& options, std::string* pErr, std::string* pWarning)
{
    SState& s = *m_p;
    s.options = options;
    s.bServer = IsServerTarget(options.strTarget);
    if (!s.bServer) {
        s.strStorePath = options.strTarget;
        return s.store.OpenForWriting(s.strStorePath, options.nBusyTimeoutMs, pErr)
            && (s.writer = std::thread([&s] { s.WriterLoop(); }), true);
    }
    s.strStorePath = options.strSpool.empty() ? DefaultSpoolPath() : options.strSpool;
    s.spoolTag.strTarget = TargetWithoutPassword(options.strTarget);
    s.spoolTag.strOwner = NewRecordId();
    std::string strErr;
    if (!MakeParents(s.strStorePath, &strErr) || !s.store.OpenForWriting(s.strStorePath, options.nBusyTimeoutMs, &strErr)
        || !s.store.CountPending(s.spoolTag.strTarget, s.spoolTag.strOwner, &s.pending, &strErr)) {
        *pErr = "spool: " + strErr;
        return false;
    }
    const std::string strForwarder = options.strForwarder.empty() ? FindForwarder() : options.strForwarder;
    if (strForwarder.empty()) {
        *pErr = "zt9047q-forward, which sends records to a server, is not installed beside this program or on PATH";
        return false;
    }
    std::vector<std::string> warnings;
    std::string strWhy;
    switch (s.forwarder.Start(strForwarder, options.strTarget, s.strStorePath, options.nServerAnswerMs, options.stopRequested, &strWhy)) {
    case CForwarderLink::kReady: break;
    case CForwarderLink::kRefused: *pErr = strWhy; return false;
    case CForwarderLink::kUnreachable:
        warnings.push_back(strWhy + "; records are kept in the spool " + s.strStorePath + " and sent when the server answers");
        break;
    }
    // Rows for another server wait in this spool: this run does not send them.
    for (const auto& other : s.pending.otherTargets)
        warnings.push_back("the spool " + s.strStorePath + " also holds " + std::to_string(other.second)
                           + (other.second == 1 ? " row" : " rows") + " for "
                           + (other.first.empty() ? std::string("no named server (spooled by an older version)")
                                                  : other.first)
                           + ", which this run does not send (it sends to " + s.spoolTag.strTarget + ")");
    for (const std::string& w : warnings)
        *pWarning += (pWarning->empty() ? "" : "\n") + w;
    s.writer = std::thread([&s] { s.WriterLoop(); });
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

std::vector<SRunRecord> CRunRecorder::Close(bool bHurry)
{
    SState& s = *m_p;
    Clock::time_point stopBy;
    {
        std::lock_guard<std::mutex> lk(s.mx);
        if (s.bClosed)
            return {};
        s.bClosed = true;
        s.stopBy = stopBy = Clock::now() + std::chrono::milliseconds(s.options.nShutdownWaitMs);
        s.bStopWriter = true;
    }
    // No write waits for a lock beyond the close's deadline, one under way
    // included.
    s.store.SetDeadline(stopBy);
    s.cvWriter.notify_all();
    if (s.writer.joinable())
        s.writer.join();
    if (s.bServer && s.forwarder.Running()) {
        s.forwarder.Finish(stopBy, bHurry, s.options.stopRequested);
        std::string strFault = s.forwarder.LastFault();
        // What is left, from the spool itself: after the last commit and the
        // forwarder's last word, so "all on the server" is never a guess.
        s.store.SetDeadline(std::max(stopBy, Clock::now() + std::chrono::milliseconds(200)));
        SPendingCounts pending;
        std::string strErr;
        const bool bKnown = s.store.CountPending(s.spoolTag.strTarget, s.spoolTag.strOwner, &pending, &strErr);
        std::lock_guard<std::mutex> lk(s.mx);
        s.bPendingKnown = bKnown;
        s.pending = pending;
        if (!bKnown)
            s.strLastError = strErr;
        else if (!strFault.empty() && pending.Total())
            s.strLastError = strFault;
    }

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
    counts.bPendingKnown = m_p->bPendingKnown;
    counts.pending = m_p->pending;
    return counts;
}

std::string CRunRecorder::LastError() const
{
    std::lock_guard<std::mutex> lk(m_p->mx);
    return m_p->strLastError;
}

std::string CRunRecorder::StorePath() const
{
    return m_p->strStorePath;
}

std::string CRunRecorder::SpoolTarget() const
{
    return m_p->spoolTag.strTarget;
}

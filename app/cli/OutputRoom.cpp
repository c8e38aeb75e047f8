#include "OutputRoom.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#endif

int WriteWhole(int fd, const char* pData, size_t nSize)
{
    while (nSize > 0) {
#ifdef _WIN32
        unsigned nChunk = nSize > (1u << 30) ? (1u << 30) : static_cast<unsigned>(nSize);
        int r = _write(fd, pData, nChunk);
#else
        ssize_t r = write(fd, pData, nSize);
#endif
        if (r < 0) {
            if (errno == EINTR)
                continue;
#ifndef _WIN32
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // Somebody made the stream non-blocking: wait until it takes more.
                pollfd pfd = {fd, POLLOUT, 0};
                poll(&pfd, 1, 100);
                continue;
            }
#endif
            return errno ? errno : EIO;
        }
        if (r == 0)
            return EIO;
        pData += r;
        nSize -= static_cast<size_t>(r);
    }
    return 0;
}

namespace {

int LinesIn(const std::string& s)
{
    return static_cast<int>(std::count(s.begin(), s.end(), '\n')) + (!s.empty() && s.back() != '\n' ? 1 : 0);
}

} // namespace

// ---------------------------------------------------------------- one stream

CStreamWriter::CStreamWriter(FILE* pFile, const std::string& strName, size_t nMergeFrom)
    : m_pShared(std::make_shared<SShared>()), m_strName(strName), m_nMergeFrom(nMergeFrom)
{
    std::fflush(pFile); // what stdio holds goes first
#ifdef _WIN32
    int fd = _fileno(pFile);
#else
    int fd = fileno(pFile);
#endif
    m_thread = std::thread(&CStreamWriter::Run, m_pShared, fd);
}

CStreamWriter::~CStreamWriter()
{
    {
        std::lock_guard<std::mutex> lock(m_pShared->lock);
        m_pShared->bClosing = true;
    }
    m_pShared->changed.notify_all();
    bool bIdle = Drain(m_bAbandoned ? 0 : UINT32_MAX);
    // A thread still held in a write by a reader that takes nothing is left
    // to the end of the process: it keeps its own share of the state.
    bool bFailed;
    {
        std::lock_guard<std::mutex> lock(m_pShared->lock);
        bFailed = m_pShared->nError != 0;
    }
    if (bIdle || bFailed)
        m_thread.join();
    else
        m_thread.detach();
}

void CStreamWriter::Post(const std::string& strText, const std::string& strKey, bool bEnd)
{
    {
        std::lock_guard<std::mutex> lock(m_pShared->lock);
        std::deque<SPiece>& queue = m_pShared->queue;
        if (!strKey.empty() && queue.size() >= m_nMergeFrom) {
            // The latest of its kind wins, at the latest place.
            for (auto it = queue.begin(); it != queue.end(); ++it) {
                if (it->strKey == strKey) {
                    queue.erase(it);
                    break;
                }
            }
        }
        queue.push_back(SPiece{strText, strKey, bEnd});
    }
    m_pShared->changed.notify_all();
}

void CStreamWriter::Run(std::shared_ptr<SShared> pShared, int fd)
{
#ifndef _WIN32
    // Stop signals are for the threads that look at them; this one only writes.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
#endif
    std::unique_lock<std::mutex> lock(pShared->lock);
    for (;;) {
        pShared->changed.wait(lock, [&] { return !pShared->queue.empty() || pShared->bClosing; });
        if (pShared->queue.empty())
            break;
        // All that is queued goes in one write: whole lines, in their order.
        std::string strBatch;
        for (const SPiece& piece : pShared->queue) {
            strBatch += piece.strText;
            pShared->nBusyEnds += piece.bEnd ? 1 : 0;
        }
        pShared->queue.clear();
        pShared->nBusyLines = LinesIn(strBatch);
        lock.unlock();
        int nError = WriteWhole(fd, strBatch.data(), strBatch.size());
        lock.lock();
        if (nError) {
            pShared->nError = nError;
            // The rest will not be written either: keep them counted.
            pShared->queue.push_front(SPiece{strBatch, std::string(), false});
        }
        pShared->nBusyLines = 0;
        pShared->nBusyEnds = 0;
        pShared->changed.notify_all();
        if (nError)
            break;
    }
}

bool CStreamWriter::Drain(uint32_t nWaitMs, const std::function<bool()>& giveUp)
{
    auto done = [&] {
        return m_pShared->nError != 0 || (m_pShared->queue.empty() && m_pShared->nBusyLines == 0);
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nWaitMs);
    std::unique_lock<std::mutex> lock(m_pShared->lock);
    for (;;) {
        if (done())
            return m_pShared->nError == 0;
        if (nWaitMs != UINT32_MAX && std::chrono::steady_clock::now() >= deadline)
            return false;
        if (giveUp && giveUp())
            return false;
        m_pShared->changed.wait_for(lock, std::chrono::milliseconds(20));
    }
}

bool CStreamWriter::Failed()
{
    std::lock_guard<std::mutex> lock(m_pShared->lock);
    return m_pShared->nError != 0;
}

std::string CStreamWriter::Loss()
{
    std::lock_guard<std::mutex> lock(m_pShared->lock);
    int nLines = m_pShared->nBusyLines;
    int nEnds = m_pShared->nBusyEnds;
    for (const SPiece& piece : m_pShared->queue) {
        nLines += LinesIn(piece.strText);
        nEnds += piece.bEnd ? 1 : 0;
    }
    if (nLines == 0 && m_pShared->nError == 0)
        return std::string();
    std::string s = m_strName + (m_pShared->nError ? std::string(": ") + std::strerror(m_pShared->nError)
                                                   : std::string(" took nothing more"));
    s += ": " + std::to_string(nLines) + (nLines == 1 ? " line" : " lines") + " not written";
    if (nEnds)
        s += " (" + std::to_string(nEnds) + (nEnds == 1 ? " end event)" : " end events)");
    return s;
}

// ---------------------------------------------------------------- the room

COutputRoom::COutputRoom(FILE* pHuman, FILE* pJson, size_t nMergeFrom)
{
    m_pHuman.reset(new CStreamWriter(pHuman, "standard error", nMergeFrom));
    if (pJson)
        m_pJson.reset(new CStreamWriter(pJson, "standard output", nMergeFrom));
}

COutputRoom::~COutputRoom()
{
    m_pTrace.reset();
    if (m_pTraceFile)
        std::fclose(m_pTraceFile);
}

void COutputRoom::HumanLines(const std::string& strPrefix, const std::string& strLines)
{
    std::string strOut;
    for (size_t p = 0; p < strLines.size();) {
        size_t q = strLines.find('\n', p);
        size_t nEnd = q == std::string::npos ? strLines.size() : q;
        strOut += strPrefix + strLines.substr(p, nEnd - p) + "\n";
        p = nEnd + 1;
    }
    m_pHuman->Post(strOut);
    std::lock_guard<std::mutex> lock(m_sinksLock);
    for (IEventSink* pSink : m_sinks)
        pSink->HumanLines(strOut);
}

void COutputRoom::HumanText(const std::string& strText, bool bMergeable)
{
    m_pHuman->Post(strText, bMergeable ? "\r" : "");
}

void COutputRoom::JsonLine(const std::string& strLine)
{
    // A progress event is keyed by its port: the latest one may stand for
    // those still queued.
    static const char kProgress[] = "{\"event\":\"progress\",";
    static const char kEnd[] = "{\"event\":\"end\",";
    std::string strKey;
    if (strLine.compare(0, sizeof kProgress - 1, kProgress) == 0)
        strKey = strLine.substr(0, strLine.find(",\"percent\""));
    bool bEnd = strLine.compare(0, sizeof kEnd - 1, kEnd) == 0;
    if (m_pJson)
        m_pJson->Post(strLine, strKey, bEnd);
    std::lock_guard<std::mutex> lock(m_sinksLock);
    for (IEventSink* pSink : m_sinks)
        pSink->Event(strLine);
}

bool COutputRoom::TraceToFile(const std::string& strPath, std::string* pError)
{
    m_pTraceFile = std::fopen(strPath.c_str(), "w");
    if (!m_pTraceFile) {
        *pError = std::strerror(errno);
        return false;
    }
    m_pTrace.reset(new CStreamWriter(m_pTraceFile, strPath));
    return true;
}

void COutputRoom::TraceLine(const std::string& strLine)
{
    (m_pTrace ? m_pTrace : m_pHuman)->Post(strLine + "\n");
}

void COutputRoom::Attach(IEventSink* pSink)
{
    std::lock_guard<std::mutex> lock(m_sinksLock);
    m_sinks.push_back(pSink);
}

void COutputRoom::Detach(IEventSink* pSink)
{
    std::lock_guard<std::mutex> lock(m_sinksLock);
    m_sinks.erase(std::remove(m_sinks.begin(), m_sinks.end(), pSink), m_sinks.end());
}

bool COutputRoom::HasSinks()
{
    std::lock_guard<std::mutex> lock(m_sinksLock);
    return !m_sinks.empty();
}

bool COutputRoom::Close(uint32_t nStopWaitMs, const std::function<bool()>& stopped,
                        const std::function<bool()>& stopNow)
{
    std::vector<CStreamWriter*> writers;
    for (CStreamWriter* p : {m_pTrace.get(), m_pJson.get(), m_pHuman.get()}) {
        if (p)
            writers.push_back(p);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nStopWaitMs);
    bool bBounded = stopped && stopped();
    std::string strLoss;
    for (CStreamWriter* p : writers) {
        for (;;) {
            if (p->Drain(100, stopNow) || p->Failed()) // a failed stream is waited for no longer
                break;
            if (stopNow && stopNow())
                break;
            if (!bBounded && stopped && stopped()) {
                bBounded = true;
                deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nStopWaitMs);
            }
            if (bBounded && std::chrono::steady_clock::now() >= deadline)
                break;
        }
        std::string s = p->Loss();
        if (!s.empty())
            strLoss += "zt9047q-flash: " + s + ".\n";
    }
    if (strLoss.empty())
        return true;
    for (CStreamWriter* p : writers)
        p->Abandon();
    // Standard error may be the stream that is stuck: a short while, no more.
    m_pHuman->Post(strLoss);
    m_pHuman->Drain(200);
    return false;
}

void COutputRoom::Flush()
{
    for (CStreamWriter* p : {m_pTrace.get(), m_pJson.get(), m_pHuman.get()}) {
        if (p)
            p->Drain(UINT32_MAX);
    }
}

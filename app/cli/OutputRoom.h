// Everything zt9047q-flash writes while units run goes through this room:
// the units publish their lines (human text, JSON events, trace lines) and
// go on at once; a writer thread per stream does the writing. So a reader
// that is slow, or reads nothing at all, never holds up a unit's tick or a
// stop. Other consumers (a web page, a records writer) attach as sinks and
// see the same JSON events.
//
// Nothing is lost quietly: a write cut short by a signal or written in part
// is resumed; a stream that fails, or takes nothing more before the tool has
// to exit, is named on standard error with what could not be written.
// Progress events may be merged while a stream lags far behind (the latest
// percentage of a port replaces the one still queued); status, message and
// end events never are.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A consumer of the event stream. Called on the publishing unit's thread:
// it must only take the line and return (queue it), never wait.
class IEventSink
{
public:
    virtual ~IEventSink() {}
    // One JSON object, the line exactly as --json writes it ('\n' included).
    virtual void Event(const std::string& strJsonLine) = 0;
    // Human lines, as standard error shows them.
    virtual void HumanLines(const std::string&) {}
};

// One stream and the thread that writes to it.
class CStreamWriter
{
public:
    // nMergeFrom: queued pieces from which keyed pieces replace their kin.
    CStreamWriter(FILE* pFile, const std::string& strName, size_t nMergeFrom = 256);
    ~CStreamWriter();

    // Queues text made of whole lines (or a bar's redrawing). A keyed piece
    // may replace the queued piece with the same key once the queue is long.
    // bEnd: it carries an end event (counted if it is lost).
    void Post(const std::string& strText, const std::string& strKey = std::string(), bool bEnd = false);
    // Waits until all is written, the stream failed, the deadline
    // (nWaitMs; UINT32_MAX: none) or giveUp() says so. True: all written.
    bool Drain(uint32_t nWaitMs, const std::function<bool()>& giveUp = std::function<bool()>());
    // What was not written and why ("" when all was), e.g.
    // "standard output took nothing more: 12 lines not written (3 end events)".
    std::string Loss();
    // The stream took an error: nothing more will be written to it.
    bool Failed();
    // The process ends without waiting for this stream any longer.
    void Abandon() { m_bAbandoned = true; }

private:
    struct SPiece
    {
        std::string strText;
        std::string strKey;
        bool bEnd;
    };
    struct SShared
    {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<SPiece> queue;
        int nBusyLines = 0; // being written now
        int nBusyEnds = 0;
        bool bClosing = false;
        int nError = 0; // the stream failed: errno
    };
    static void Run(std::shared_ptr<SShared> pShared, int fd);

    std::shared_ptr<SShared> m_pShared;
    std::string m_strName;
    size_t m_nMergeFrom;
    bool m_bAbandoned = false;
    std::thread m_thread;
};

class COutputRoom
{
public:
    // pHuman: the human text (standard error); pJson: the JSON Lines
    // (standard output), null when events go to sinks only.
    COutputRoom(FILE* pHuman, FILE* pJson, size_t nMergeFrom = 256);
    ~COutputRoom();

    // Each line of strLines (ended by '\n' or not) as "<prefix><line>".
    void HumanLines(const std::string& strPrefix, const std::string& strLines);
    void Say(const std::string& strLines) { HumanLines("", strLines); }
    // Text that is not whole lines (a bar drawn over itself, a prompt).
    // bMergeable: only the latest such text matters.
    void HumanText(const std::string& strText, bool bMergeable);
    // One whole JSON line, newline included.
    void JsonLine(const std::string& strLine);
    // --trace lines: into the file when one was given, else with the human text.
    bool TraceToFile(const std::string& strPath, std::string* pError);
    void TraceLine(const std::string& strLine);

    void Attach(IEventSink* pSink);
    void Detach(IEventSink* pSink);
    // Somebody besides standard output wants the JSON events.
    bool HasSinks();

    // The end of the tool's output. Waits for the writers: without a bound
    // while nobody asked to stop (the reader will read), at most nStopWaitMs
    // once a stop has come, and no longer once stopNow() says so. Says on
    // the human stream what could not be written. True when all was.
    bool Close(uint32_t nStopWaitMs, const std::function<bool()>& stopped, const std::function<bool()>& stopNow);
    // For tests and in-process use: waits until all is written.
    void Flush();

private:
    std::unique_ptr<CStreamWriter> m_pHuman;
    std::unique_ptr<CStreamWriter> m_pJson;
    std::unique_ptr<CStreamWriter> m_pTrace;
    FILE* m_pTraceFile = nullptr;
    std::mutex m_sinksLock;
    std::vector<IEventSink*> m_sinks;
};

// Writes all of it to fd, resuming after a signal or a partial write.
// 0, or the errno of the failure.
int WriteWhole(int fd, const char* pData, size_t nSize);

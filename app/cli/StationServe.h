// --serve: the station page runs as a program of its own (zt9047q-page),
// which this side starts, feeds and watches. The station binds the page's
// socket (so a port in use is refused before any unit is touched, and a
// restarted page keeps its address) and hands the page the JSON events it
// publishes through a socket pair written by a thread of its own with
// non-blocking writes: a unit never waits on the page. When the page falls
// behind, lines are dropped and the latest state of every unit is sent
// again; when it dies, it is said once on standard error and started again
// after a back-off. The flashing process links no HTTP or TLS library.
#pragma once

#include "OutputRoom.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// "[ADDR:]PORT" as --serve takes it: loopback unless an address is given;
// an IPv6 address goes in brackets ("[::1]:8047"). Port 0: any free port.
struct SServeAddress
{
    std::string strAddress = "127.0.0.1";
    int nPort = -1;
};
bool ParseServeAddress(const std::string& strValue, SServeAddress* pAddress, std::string* pError);

struct SPageLaunch
{
    SServeAddress address;
    std::string strTokenFile;
    std::string strCertFile, strKeyFile; // both or neither: HTTPS
    std::string strRecordsFile;          // the SQLite file the page reads, or empty
    std::string strProgram;              // the page program; empty: beside this one, else on PATH
};

class CStationPage : public IEventSink
{
public:
    // Lines waiting for the page beyond what its socket holds; past this
    // the page has fallen behind.
    static constexpr std::size_t kMaxBacklogBytes = 256 * 1024;
    // The page is given this long to start before the station gives up.
    static constexpr std::chrono::seconds kStartWait{10};

    explicit CStationPage(std::function<void(const std::string&)> say) : m_say(std::move(say)) {}
    ~CStationPage() override;

    // False with strError set when the page cannot be served (a wider
    // address without a token, a port in use, a page that refused to start:
    // it says why on standard error itself).
    bool Start(const SPageLaunch& launch, std::string& strError);
    // Where the page can be opened: one URL, or for a wildcard address the
    // host's name and each of its addresses.
    std::vector<std::string> Urls() const;
    int Port() const { return m_nPort; }
    void Event(const std::string& strJsonLine) override;
    // After the last event: the page takes what is queued, then ends; it is
    // killed if it has not ended within a second, whatever its clients do.
    void Stop();

    pid_t PagePid() const { return m_pid; }
    unsigned Starts() const { return m_nStarts; }
    std::size_t DroppedLines() const { return m_nDropped; }

private:
    bool Spawn(std::string& strError);
    void Writer();
    void QueueResync();

    std::function<void(const std::string&)> m_say;
    SPageLaunch m_launch;
    std::string m_strProgram;
    std::string m_strSessionKey;
    int m_nListenFd = -1;
    int m_nPort = 0;
    std::atomic<pid_t> m_pid{-1};
    int m_nFeedFd = -1; // the writer thread's
    std::atomic<unsigned> m_nStarts{0};
    std::atomic<std::size_t> m_nDropped{0};

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::string> m_queue;
    std::size_t m_nQueued = 0;
    bool m_bBehind = false; // lines were dropped: the latest state goes next
    bool m_bStop = false;
    // The latest line of each kind of event of each port's current run, in
    // the order the kinds first came.
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> m_latest;
    std::thread m_writer;
};

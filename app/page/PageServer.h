// The station page's HTTP server: every unit live, from the same events as
// --json, and the day's records. Read-only: nothing it serves starts, stops
// or answers anything. It runs in a process of its own (zt9047q-page), fed
// the station's event lines; it never holds a serial port.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "EventFanout.h"
#include "RecordSource.h"
#include "UnitBoard.h"

struct MHD_Daemon;
struct MHD_Connection;

struct SPageOptions
{
    std::string strAddress = "127.0.0.1"; // what Host: may name without a token
    int nPort = 0;                        // 0: any free port
    int nListenFd = -1;                   // a socket already bound and listening (the station's)
    std::string strToken;                 // empty: none (loopback only)
    std::string strCertPem, strKeyPem;    // both given: HTTPS
    // Signs the session cookies: a page started again with the same key
    // (the station hands each page it starts the same one) knows the
    // browsers' sessions. Empty: a random key of this server's own.
    std::string strSessionKey;
    // From connection (or last answer) to whole headers.
    std::chrono::milliseconds requestDeadline{5000};
};

class CPageServer
{
public:
    static constexpr std::size_t kMaxClients = 32;             // /events streams at once
    static constexpr std::size_t kMaxQueuedBytes = 256 * 1024; // per stream, then it is dropped
    static constexpr std::size_t kMaxRequestBytes = 8 * 1024;  // request line and headers
    static constexpr std::size_t kMaxRecordLimit = 1000;       // records per /api/records
    static constexpr unsigned kMaxConnections = 128;           // in all
    static constexpr unsigned kMaxPerAddress = 16;             // from one client address
    static constexpr unsigned kIdleSeconds = 10;               // a connection with no traffic
    static constexpr int kMaxRecordQueries = 2;                // record queries running at once

    CPageServer();
    ~CPageServer();
    CPageServer(const CPageServer&) = delete;
    CPageServer& operator=(const CPageServer&) = delete;

    bool Start(const SPageOptions& options, std::string& strError);
    // Closes every connection at once, whatever the clients do.
    void Stop();
    int Port() const { return m_nPort; }

    // One JSON Lines event as --json writes it, without its newline.
    void Event(const std::string& strJsonLine);
    // The records behind /api/records, /records.csv and the day's counts;
    // may be null (those answer 503). Must outlive the server.
    void SetRecordSource(IRecordSource* pSource) { m_pRecords = pSource; }

    const CEventFanout& Fanout() const { return m_fanout; }
    const CUnitBoard& Board() const { return m_board; }
    std::size_t Connections() const;

    // The token file's text: 16 to 256 printable ASCII characters.
    static bool ReadToken(const std::string& strFile, std::string& strToken, std::string& strError);
    // "127.0.0.1", "::1", "localhost" and the rest of 127/8.
    static bool IsLoopback(const std::string& strAddress);

    // For the library's callbacks.
    struct SConn;
    int Handle(MHD_Connection* pConn, const char* pszUrl, const char* pszMethod, std::size_t* pnUpload,
               void** ppState);
    void Connected(MHD_Connection* pConn, void** ppSocketState);
    void Disconnected(void** ppSocketState);
    void Answered(void* pSocketState);
    bool AllowConnection(const std::string& strAddress);

private:
    bool HostAllowed(const std::string& strHost) const;
    std::string NewSession();
    std::string Sign(const std::string& strNonce) const;
    bool KnownSession(const std::string& strValue);
    bool AllowRate(const std::string& strAddress);
    struct SBucket { double tokens; std::chrono::steady_clock::time_point last; };
    bool Take(std::map<std::string, SBucket>& buckets, const std::string& strAddress, double kBurst, double kRate);
    void Watchdog();

    CUnitBoard m_board;
    CEventFanout m_fanout{kMaxClients, kMaxQueuedBytes};
    std::atomic<IRecordSource*> m_pRecords{nullptr};
    std::atomic<int> m_nRecordQueries{0};
    SPageOptions m_options;
    std::string m_strCookie; // the session cookie's name: one per port
    MHD_Daemon* m_pDaemon = nullptr;
    int m_nPort = 0;

    mutable std::mutex m_lock; // the connections, sessions and rate buckets
    std::set<SConn*> m_conns;
    std::map<std::string, SBucket> m_buckets, m_connectionBuckets;

    std::atomic<bool> m_bStopping{false};
    std::thread m_watchdog;
};

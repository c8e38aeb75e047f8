// The station page: an HTTP server inside the station process that shows
// every unit live, from the same events as --json, and the day's records.
// Read-only: nothing it serves starts, stops or answers anything. Events
// come in through Event(), which never waits on a client.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "EventFanout.h"
#include "RecordSource.h"
#include "UnitBoard.h"

namespace httplib { class Server; }

class CStationWeb
{
public:
    static constexpr std::size_t kMaxClients = 32;               // /events streams at once
    static constexpr std::size_t kMaxQueuedBytes = 256 * 1024;   // per stream, then it is dropped
    static constexpr std::size_t kMaxRequestBytes = 8 * 1024;    // request line and headers
    static constexpr std::size_t kMaxRecordLimit = 1000;         // records per /api/records

    CStationWeb();
    ~CStationWeb();
    CStationWeb(const CStationWeb&) = delete;
    CStationWeb& operator=(const CStationWeb&) = delete;

    // Binds strAddress:nPort (port 0: any free port) and serves on threads
    // of its own. Any address but loopback needs strTokenFile, whose text
    // every request must then carry. False with strError set when it cannot.
    bool Start(const std::string& strAddress, int nPort, const std::string& strTokenFile,
               std::string& strError);
    void Stop();
    int Port() const { return m_nPort; }

    // One JSON Lines event as --json writes it, without its newline. Safe
    // from any thread; never waits on a client.
    void Event(const std::string& strJsonLine);
    // The records behind /api/records, /records.csv and the day's counts;
    // may be null (those answer 503). Must outlive the server.
    void SetRecordSource(IRecordSource* pSource);

    const CEventFanout& Fanout() const { return m_fanout; }
    const CUnitBoard& Board() const { return m_board; }

    // "127.0.0.1", "::1", "localhost" and the rest of 127/8.
    static bool IsLoopback(const std::string& strAddress);

private:
    class CServer;
    void Routes();

    CUnitBoard m_board;
    CEventFanout m_fanout{kMaxClients, kMaxQueuedBytes};
    std::atomic<IRecordSource*> m_pRecords{nullptr};
    std::unique_ptr<CServer> m_pServer;
    std::thread m_listener;
    std::string m_strToken;
    int m_nPort = 0;
};

// Hands every event to each page client through a queue of its own, so the
// producer never waits on a client: it appends under a short lock and goes
// on. A client whose queue passes its byte bound has stopped reading; it is
// dropped (its queue emptied, its stream ended), and the others lose
// nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CEventFanout
{
public:
    using Frame = std::shared_ptr<const std::string>;
    struct SClient
    {
        std::deque<Frame> queue;
        std::size_t nBytes = 0;
        bool bDropped = false;
    };
    using Client = std::shared_ptr<SClient>;

    CEventFanout(std::size_t nMaxClients, std::size_t nMaxQueuedBytes)
        : m_nMaxClients(nMaxClients), m_nMaxQueuedBytes(nMaxQueuedBytes) {}

    // A new client, or null when there are already as many as allowed.
    Client Subscribe();
    void Unsubscribe(const Client& client);
    // One frame to every client; never waits on any of them.
    void Publish(const std::string& strFrame);
    // Waits up to timeout for frames; false when the client is to end
    // (dropped, or the fanout closed).
    bool Take(const Client& client, std::deque<Frame>& frames, std::chrono::milliseconds timeout);
    // Ends every stream (Take returns false), for a stop.
    void Close();
    void Reopen();

    std::size_t Clients() const;
    std::size_t DroppedClients() const;
    // The most bytes queued for one client at any time so far.
    std::size_t PeakQueuedBytes() const;
    // The bytes queued now, over every client still served.
    std::size_t QueuedBytes() const;

private:
    const std::size_t m_nMaxClients;
    const std::size_t m_nMaxQueuedBytes;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::vector<Client> m_clients;
    bool m_bClosed = false;
    std::size_t m_nDropped = 0;
    std::size_t m_nPeakBytes = 0;
};

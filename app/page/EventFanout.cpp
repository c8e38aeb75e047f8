#include "EventFanout.h"

#include <algorithm>

CEventFanout::Client CEventFanout::Subscribe()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_bClosed || m_clients.size() >= m_nMaxClients) return nullptr;
    m_clients.push_back(std::make_shared<SClient>());
    return m_clients.back();
}

void CEventFanout::Unsubscribe(const Client& client)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), client), m_clients.end());
}

void CEventFanout::Publish(const std::string& strFrame)
{
    // One copy of the frame, shared by every queue.
    Frame frame = std::make_shared<const std::string>(strFrame);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& client : m_clients) {
            if (client->bDropped) continue;
            if (client->nBytes + frame->size() > m_nMaxQueuedBytes) {
                // It stopped reading: drop the client, never the event.
                client->bDropped = true;
                client->queue.clear();
                client->nBytes = 0;
                ++m_nDropped;
                continue;
            }
            client->queue.push_back(frame);
            client->nBytes += frame->size();
            m_nPeakBytes = std::max(m_nPeakBytes, client->nBytes);
        }
    }
    m_wake.notify_all();
}

bool CEventFanout::Take(const Client& client, std::deque<Frame>& frames, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_wake.wait_for(lock, timeout, [&] { return m_bClosed || client->bDropped || !client->queue.empty(); });
    if (m_bClosed || client->bDropped) return false;
    frames.clear();
    frames.swap(client->queue);
    client->nBytes = 0;
    return true;
}

void CEventFanout::Close()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bClosed = true;
    }
    m_wake.notify_all();
}

void CEventFanout::Reopen()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_bClosed = false;
}

std::size_t CEventFanout::Clients() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_clients.size();
}

std::size_t CEventFanout::DroppedClients() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_nDropped;
}

std::size_t CEventFanout::PeakQueuedBytes() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_nPeakBytes;
}

std::size_t CEventFanout::QueuedBytes() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::size_t nBytes = 0;
    for (const Client& client : m_clients)
        nBytes += client->bDropped ? 0 : client->nBytes;
    return nBytes;
}

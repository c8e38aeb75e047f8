// --serve: the station page inside the station process. The page is one
// more consumer of the output room: it sees every JSON event the --json
// stream carries, as it is published, and only queues it, so a unit's tick
// never waits on the page or on any of its clients.
#pragma once

#include "OutputRoom.h"
#include "StationWeb.h"

#include <chrono>
#include <string>

// "[ADDR:]PORT" as --serve takes it: loopback unless an address is given;
// an IPv6 address goes in brackets ("[::1]:8047"). Port 0: any free port.
struct SServeAddress
{
    std::string strAddress = "127.0.0.1";
    int nPort = -1;
};
bool ParseServeAddress(const std::string& strValue, SServeAddress* pAddress, std::string* pError);

class CStationPage : public IEventSink
{
public:
    // How long, at the end, the clients get to take the events still
    // queued for them (the last end events) before the server stops.
    static constexpr std::chrono::milliseconds kLastEventsWait{500};

    // False with strError set when the page cannot be served (a wider
    // address without a token, an unreadable token, a port in use).
    bool Start(const SServeAddress& address, const std::string& strTokenFile, std::string& strError);
    // Where the page is, with the port actually bound.
    std::string Url() const;
    void Event(const std::string& strJsonLine) override;
    // After the last event: the clients take what is queued (bounded),
    // then the server stops.
    void Stop();

    CStationWeb& Web() { return m_web; }

private:
    SServeAddress m_address;
    CStationWeb m_web;
};

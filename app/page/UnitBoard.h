// The current state of every unit, built from the same events the page
// receives, so a page that (re)connects starts from a whole picture.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include "FlatJson.h"
#include "RecordSource.h"

class CUnitBoard
{
public:
    using Clock = std::chrono::steady_clock;

    // One event line; false (and nothing changed) when it is not a station
    // event (not a flat object with "event" and "port").
    bool Apply(const std::string& strLine, Clock::time_point now = Clock::now());
    // Every unit as a JSON array, ordered by slot, else USB path, else port.
    std::string UnitsJson(Clock::time_point now = Clock::now()) const;
    // The ends counted since this process started.
    SRecordCounts SessionCounts() const;
    std::size_t Units() const;

    // Ports are few, but --watch may see many come and go: past this many,
    // units that ended longest ago make room.
    static constexpr std::size_t kMaxUnits = 256;

private:
    struct SUnit
    {
        std::string strSlot = "null", strUsbPath = "null", strUsbSerial = "null";
        std::string strStatus = "null", strMessage = "null";
        std::string strPercent = "0", strBytes = "0", strFrames = "0";
        std::string strResult = "null", strText = "null", strUnitVersion = "null";
        std::string strVersionAfter = "null", strVerified = "null", strElapsed = "null";
        std::string strReason = "null", strHint = "null";
        bool bEnded = false;
        Clock::time_point started, ended;
        unsigned long long nRun = 0;
    };
    void MakeRoom();

    mutable std::mutex m_lock;
    std::map<std::string, SUnit> m_units; // by raw port token
    SRecordCounts m_session;
    unsigned long long m_nRuns = 0;
};

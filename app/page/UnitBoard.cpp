#include "UnitBoard.h"

#include <algorithm>
#include <vector>

namespace {

// A run's end as the yield counts it: completed (and not found unverified),
// not verified, or failed; up-to-date and declined are none of them.
void Count(SRecordCounts& counts, const std::string& strResult, const std::string& strVerified)
{
    if (strResult == "completed") ++(strVerified == "false" ? counts.nNotVerified : counts.nCompleted);
    else if (strResult != "up-to-date" && strResult != "declined" && strResult != "running") ++counts.nFailed;
}

std::string OrNull(const std::string& raw) { return raw.empty() ? "null" : raw; }

} // namespace

bool CUnitBoard::Apply(const std::string& strLine, Clock::time_point now)
{
    FlatFields fields;
    if (!ParseFlatObject(strLine, fields)) return false;
    const std::string strEvent = FlatString(fields, "event");
    const std::string strPort = FlatRaw(fields, "port");
    if (strEvent.empty() || strPort.empty() || strPort[0] != '"') return false;

    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_units.find(strPort);
    if (it == m_units.end()) {
        MakeRoom();
        it = m_units.emplace(strPort, SUnit()).first;
        it->second.started = now;
        it->second.nRun = ++m_nRuns;
    } else if (it->second.bEnded && strEvent != "end") {
        // The port's next run (--watch): a fresh tile.
        it->second = SUnit();
        it->second.started = now;
        it->second.nRun = ++m_nRuns;
    }
    SUnit& unit = it->second;
    for (const char* key : {"slot", "usb_path", "usb_serial"}) {
        std::string raw = FlatRaw(fields, key);
        if (raw.empty()) continue;
        std::string& target = key[0] == 's' ? unit.strSlot : key[4] == 'p' ? unit.strUsbPath : unit.strUsbSerial;
        target = raw;
    }
    if (strEvent == "status") {
        unit.strStatus = OrNull(FlatRaw(fields, "text"));
        std::string strVersion = FlatRaw(fields, "unit_version");
        if (!strVersion.empty()) unit.strUnitVersion = strVersion;
    } else if (strEvent == "progress") {
        unit.strPercent = OrNull(FlatRaw(fields, "percent"));
        unit.strBytes = OrNull(FlatRaw(fields, "bytes"));
        unit.strFrames = OrNull(FlatRaw(fields, "frames"));
    } else if (strEvent == "message") {
        unit.strMessage = OrNull(FlatRaw(fields, "text"));
    } else if (strEvent == "end") {
        // The same end again (the feed resends the latest state of every
        // unit after it had to drop lines) is counted once.
        const bool bCounted = unit.bEnded;
        unit.bEnded = true;
        unit.ended = now;
        unit.strResult = OrNull(FlatRaw(fields, "result"));
        unit.strText = OrNull(FlatRaw(fields, "text"));
        unit.strBytes = OrNull(FlatRaw(fields, "bytes"));
        unit.strFrames = OrNull(FlatRaw(fields, "frames"));
        unit.strElapsed = OrNull(FlatRaw(fields, "elapsed_ms"));
        unit.strUnitVersion = OrNull(FlatRaw(fields, "unit_version"));
        unit.strVerified = OrNull(FlatRaw(fields, "verified"));
        unit.strVersionAfter = OrNull(FlatRaw(fields, "version_after"));
        unit.strReason = OrNull(FlatRaw(fields, "reason"));
        unit.strHint = OrNull(FlatRaw(fields, "hint"));
        if (!bCounted) Count(m_session, FlatString(fields, "result"), unit.strVerified);
    }
    return true;
}

void CUnitBoard::MakeRoom()
{
    while (m_units.size() >= kMaxUnits) {
        auto oldest = m_units.end();
        for (auto it = m_units.begin(); it != m_units.end(); ++it)
            if (it->second.bEnded && (oldest == m_units.end() || it->second.ended < oldest->second.ended)) oldest = it;
        if (oldest == m_units.end()) oldest = m_units.begin(); // all running: the first by port
        m_units.erase(oldest);
    }
}

std::string CUnitBoard::UnitsJson(Clock::time_point now) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::pair<std::string, const SUnit*>> order;
    for (const auto& entry : m_units) {
        const SUnit& u = entry.second;
        // Slot first, then USB path, then port; raw tokens sort as their text does.
        std::string key = u.strSlot != "null" ? "0" + u.strSlot : u.strUsbPath != "null" ? "1" + u.strUsbPath : "2" + entry.first;
        order.emplace_back(key + '\x01' + entry.first, &u);
    }
    std::sort(order.begin(), order.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string out = "[";
    for (const auto& entry : order) {
        const SUnit& u = *entry.second;
        const std::string& port = entry.first.substr(entry.first.find('\x01') + 1);
        long long elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                (u.bEnded ? u.ended : now) - u.started).count();
        if (out.size() > 1) out += ',';
        out += "{\"port\":" + port + ",\"slot\":" + u.strSlot + ",\"usb_path\":" + u.strUsbPath +
               ",\"usb_serial\":" + u.strUsbSerial + ",\"run\":" + std::to_string(u.nRun) +
               ",\"state\":" + (u.bEnded ? "\"ended\"" : "\"running\"") + ",\"status\":" + u.strStatus +
               ",\"message\":" + u.strMessage + ",\"percent\":" + u.strPercent + ",\"bytes\":" + u.strBytes +
               ",\"frames\":" + u.strFrames + ",\"result\":" + u.strResult + ",\"text\":" + u.strText +
               ",\"unit_version\":" + u.strUnitVersion + ",\"verified\":" + u.strVerified +
               ",\"version_after\":" + u.strVersionAfter + ",\"reason\":" + u.strReason +
               ",\"hint\":" + u.strHint + ",\"elapsed_ms\":" +
               (u.bEnded && u.strElapsed != "null" ? u.strElapsed : std::to_string(elapsed)) + "}";
    }
    return out + "]";
}

SRecordCounts CUnitBoard::SessionCounts() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_session;
}

std::size_t CUnitBoard::Units() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_units.size();
}

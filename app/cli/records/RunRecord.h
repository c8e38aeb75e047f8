// One run of an update as the records keep it: written when the run starts
// (result "running") and completed at its end. Field names are those of the
// end event where they overlap, plus the record's own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct SRunRecord
{
    std::string strId;              // id: UUID v4
    std::string strHost;            // host
    std::string strUser;            // user
    std::string strToolVersion;     // tool_version
    std::string strPackagedVersion; // packaged_version, "2.20"
    std::string strImageSha256;     // image_sha256
    std::string strPort;            // port
    std::optional<std::string> strSlot;
    std::optional<std::string> strUsbPath;
    std::optional<std::string> strUsbSerial;
    std::optional<std::string> strUnitVersion; // unit_version, "2.10"
    std::string strResult = "running";         // result
    std::string strText;                       // text
    int64_t nBytes = 0;
    int64_t nFrames = 0;
    std::string strStartedAt;                  // started_at
    std::optional<std::string> strEndedAt;     // ended_at
    std::optional<int64_t> nElapsedMs;         // elapsed_ms
    std::optional<bool> bVerified;             // verified (--verify only)
    std::optional<std::string> strVersionAfter; // version_after (--verify only)
};

// How a field is kept and written: a text (a JSON string), a count, a
// version with two decimals ("2.10", bare in JSON, kept as text so the
// decimals stay), or a flag (true/false).
enum class EFieldKind { kText, kInteger, kVersion, kBool };

// The record as its columns in order, each with its name, its kind and its
// value in text ("true"/"false" for a flag), absent when null.
struct SField
{
    const char* pszName;
    EFieldKind eKind;
    std::optional<std::string> strValue;
};
std::vector<SField> RecordFields(const SRunRecord& rec);
// The column names in order.
const std::vector<const char*>& RecordFieldNames();
// Builds a record from values given by column name (absent: null).
SRunRecord RecordFromValues(const std::function<std::optional<std::string>(size_t nColumn)>& value);

// A new random UUID (version 4) from the system's random source.
std::string NewRecordId();
// UTC, ISO 8601 with milliseconds: 2026-03-01T12:34:56.789Z.
std::string UtcIso8601Ms(std::chrono::system_clock::time_point t);
std::string UtcNowIso8601Ms();
// This machine's host name and the user running the program.
std::string StationHostName();
std::string StationUserName();

// The program's texts are 8-bit, each byte its Latin-1 character; the
// stores keep UTF-8.
std::string Latin1ToUtf8(const std::string& str);

// The record as one JSON Lines object with the columns' names. bUtf8: the
// texts are UTF-8 (as read from a store) rather than the program's 8-bit
// texts. Non-ASCII characters are escaped either way, so lines stay ASCII.
std::string RecordJsonLine(const SRunRecord& rec, bool bUtf8);
// RFC 4180: the header row and a record's row, each ending in CR LF.
std::string RecordCsvHeader();
std::string RecordCsvRow(const SRunRecord& rec);

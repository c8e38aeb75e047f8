// One run of an update as the records keep it: written when the run starts
// (result "running") and completed at its end. Field names are those of the
// end event where they overlap, plus the record's own.
#pragma once

#include "../Yield.h"

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
    std::optional<std::string> strReason;       // reason: why the run ended, a stable code
    std::optional<std::string> strHint;         // hint: what the operator should do now
};

// The columns by name, in their published order (the CSV header's, the JSON
// keys'). New columns go at the end, so that no column moves.
enum ERecordColumn : size_t
{
    kColId,
    kColHost,
    kColUser,
    kColToolVersion,
    kColPackagedVersion,
    kColImageSha256,
    kColPort,
    kColSlot,
    kColUsbPath,
    kColUsbSerial,
    kColUnitVersion,
    kColResult,
    kColText,
    kColBytes,
    kColFrames,
    kColStartedAt,
    kColEndedAt,
    kColElapsedMs,
    kColVerified,
    kColVersionAfter,
    kColReason,
    kColHint,
    kRecordColumns
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
// The column names in order, and each column's kind.
const std::vector<const char*>& RecordFieldNames();
EFieldKind RecordFieldKind(ERecordColumn eColumn);
// Builds a record from each column's value (absent: null; a flag as
// "true"/"t"/"1" or anything else for false).
SRunRecord RecordFromValues(const std::function<std::optional<std::string>(ERecordColumn eColumn)>& value);

// Where a run stands in the yield (../Yield.h).
EYield RecordYield(const SRunRecord& rec);

// A new random UUID (version 4) from the system's random source.
std::string NewRecordId();
// UTC, ISO 8601 with milliseconds: 2026-03-01T12:34:56.789Z.
std::string UtcIso8601Ms(std::chrono::system_clock::time_point t);
std::string UtcNowIso8601Ms();
// This machine's host name and the user running the program.
std::string StationHostName();
std::string StationUserName();

// The record as the stores keep it: every text as UTF-8 (Utf8Text: valid
// UTF-8 as it is, other bytes as their Latin-1 characters), and the end's
// texts on one line (a CR or LF, which the unit's messages carry, becomes a
// space; none at either end).
SRunRecord RecordForStore(SRunRecord rec);

// The record as one JSON Lines object with the columns' names, texts
// escaped as the end event escapes them (JsonString), so lines stay ASCII.
std::string RecordJsonLine(const SRunRecord& rec);
// The same: texts once told apart by where they came from (the flag) are
// now read one way.
inline std::string RecordJsonLine(const SRunRecord& rec, bool /*bUtf8*/)
{
    return RecordJsonLine(rec);
}
// RFC 4180: the header row and a record's row, each ending in CR LF. A cell
// that a spreadsheet would take for a formula (beginning with =, +, -, @,
// a tab or a CR) gets a leading ' so that it stays text.
std::string RecordCsvHeader();
std::string RecordCsvRow(const SRunRecord& rec);
// One CSV cell as RecordCsvRow writes it (quoted when needed, neutralised).
std::string CsvCell(const std::string& strText);

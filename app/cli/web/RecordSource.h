// What the station page may ask of the record store: read-only queries
// answered as ready-made text, so the page room needs to know nothing of the
// store behind them. Called from the page's request threads, never from a
// unit's thread; an implementation must be safe to call from several
// threads at once.
#pragma once

#include <cstddef>
#include <string>

struct SRecordCounts
{
    long long nCompleted = 0; // completed (and verified, when verification was asked)
    long long nFailed = 0;    // every other end but up-to-date and declined
};

class IRecordSource
{
public:
    virtual ~IRecordSource() = default;

    // Records that started at or after strSince (ISO 8601 UTC, such as
    // "2026-03-01T00:00:00Z"; empty for no lower bound), the newest nLimit
    // of them, newest last, as the text of a JSON array of objects with the
    // record's field names (those of the end event, plus "start" and "end").
    virtual std::string RecordsJson(const std::string& strSince, std::size_t nLimit) = 0;
    // The records of one UTC day ("2026-03-01") as CSV with its header row.
    virtual std::string DayCsv(const std::string& strDay) = 0;
    // The counts of one UTC day.
    virtual SRecordCounts DayCounts(const std::string& strDay) = 0;
};

// What the station page may ask of the record store: read-only queries.
// Called from the page's request threads; an implementation must be safe to
// call from several threads at once. Each answer says when the store could
// not be read, so that the page answers 503 with the reason rather than an
// empty success.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

// The yield's three kinds of end: up-to-date, declined and running are none.
struct SRecordCounts
{
    long long nCompleted = 0;   // completed, and verified when that was asked
    long long nNotVerified = 0; // completed, but found unverified
    long long nFailed = 0;      // every other end
};

// Rows of a CSV, handed out in pieces so that a whole day never sits in
// memory at once.
class ICsvCursor
{
public:
    virtual ~ICsvCursor() = default;
    // Appends the next rows (about nBytes of them) to strOut; false at the
    // end or on an error (Error() then says which).
    virtual bool Next(std::string& strOut, std::size_t nBytes) = 0;
    virtual std::string Error() const = 0;
};

class IRecordSource
{
public:
    virtual ~IRecordSource() = default;

    // Records that started at or after strSince (ISO 8601 UTC; empty for no
    // lower bound), the newest nLimit, newest last, as a JSON array of
    // objects with the record's field names plus "start" and "end".
    virtual bool RecordsJson(const std::string& strSince, std::size_t nLimit, std::string& strOut,
                             std::string& strError) = 0;
    // The records of one UTC day ("2026-03-01") as CSV, header row first;
    // null with strError when the store cannot be read.
    virtual std::unique_ptr<ICsvCursor> DayCsv(const std::string& strDay, std::string& strError) = 0;
    virtual bool DayCounts(const std::string& strDay, SRecordCounts& counts, std::string& strError) = 0;
};

// Which records a query returns: started at or after since, before (or at)
// until, with one result, the newest nLimit of them. Records come oldest
// first (newest last) in every case.
#pragma once

#include <string>

struct SRecordFilter
{
    std::string strSince;        // lower bound on started_at, inclusive; "" for none
    std::string strUntil;        // upper bound on started_at; "" for none
    bool bUntilInclusive = true; // a date-time includes its instant, a date ends at the next midnight
    std::string strResult;       // "" for any
    long long nLimit = 0;        // the newest n only; 0 for all
};

// TIME of --since/--until: "today", a date (2026-03-01) or a date-time
// (2026-03-01T08:00, :05, :05.250, optional Z), all UTC. For an upper bound
// a date covers that whole day. False when the text is none of these.
bool ParseRecordsTime(const std::string& strText, bool bUpper, std::string* pBound, bool* pbInclusive);

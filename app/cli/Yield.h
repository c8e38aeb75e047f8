// The yield: one definition of completed, not verified and failed, for the
// station's summary, the page's counts and --records --format count, so that
// for one session all three agree. Completed: the update completed and was
// not found unverified; not verified: completed, but --verify did not see the
// packaged version; failed: every other end except up-to-date and declined,
// which are neither (nor is a run still going on). The page counts in SQL by
// the same rule (app/page/PageRecords.cpp).
#pragma once

#include <optional>
#include <string>

enum EYield
{
    kYieldCompleted,
    kYieldNotVerified,
    kYieldFailed,
    kYieldNeither
};

// strResult: the end event's "result" ("running" for a run not ended yet);
// verified: its "verified", absent when verification was not asked.
inline EYield YieldOfResult(const std::string& strResult, std::optional<bool> verified)
{
    if (strResult == "completed")
        return verified.value_or(true) ? kYieldCompleted : kYieldNotVerified;
    if (strResult == "up-to-date" || strResult == "declined" || strResult == "running")
        return kYieldNeither;
    return kYieldFailed;
}

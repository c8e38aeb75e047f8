#include "RecordsExport.h"
#include "Forwarding.h"
#include "SqliteStore.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

namespace {

// Export reads only, and waits a little longer than a writer for a lock.
const int kReadBusyMs = 10000;

bool Digits(const std::string& s, size_t nAt, size_t nCount)
{
    if (nAt + nCount > s.size())
        return false;
    for (size_t i = nAt; i < nAt + nCount; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

bool ReadStore(const std::string& strTarget, const SRecordFilter& filter,
               const std::function<void(const SRunRecord&)>& onRecord, std::string* pErr)
{
    if (IsServerTarget(strTarget)) {
        *pErr = strTarget + ": a server's records are read through zt9047q-forward";
        return false;
    }
    CSqliteStore store;
    return store.OpenForReading(strTarget, kReadBusyMs, pErr) && store.Query(filter, onRecord, pErr);
}

int DaysInMonth(int nYear, int nMonth)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool bLeap = (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
    return nMonth == 2 && bLeap ? 29 : kDays[nMonth - 1];
}

} // namespace

bool ParseRecordsTime(const std::string& strText, bool bUpper, std::string* pBound, bool* pbInclusive)
{
    std::string s = strText;
    if (s == "today")
        s = UtcNowIso8601Ms().substr(0, 10);
    if (!Digits(s, 0, 4) || s[4] != '-' || !Digits(s, 5, 2) || s[7] != '-' || !Digits(s, 8, 2))
        return false;
    const int nYear = std::atoi(s.substr(0, 4).c_str());
    const int nMonth = std::atoi(s.substr(5, 2).c_str()), nDay = std::atoi(s.substr(8, 2).c_str());
    if (nMonth < 1 || nMonth > 12 || nDay < 1 || nDay > DaysInMonth(nYear, nMonth))
        return false;
    if (s.size() == 10) {
        *pbInclusive = false;
        if (!bUpper) {
            *pBound = s + "T00:00:00.000Z";
            return true;
        }
        // The whole day: up to the next midnight.
        struct tm tmDay = {};
        tmDay.tm_year = std::atoi(s.substr(0, 4).c_str()) - 1900;
        tmDay.tm_mon = nMonth - 1;
        tmDay.tm_mday = nDay + 1;
        const time_t t = timegm(&tmDay);
        *pBound = UtcIso8601Ms(std::chrono::system_clock::from_time_t(t));
        return true;
    }
    // 2026-03-01T08:00[:05[.250]][Z]; a space may stand for the T.
    if ((s[10] != 'T' && s[10] != ' ') || !Digits(s, 11, 2) || s.size() < 16 || s[13] != ':' || !Digits(s, 14, 2))
        return false;
    std::string strTime = s.substr(11, 5);
    size_t i = 16;
    std::string strSec = ":00", strMs = ".000";
    if (i < s.size() && s[i] == ':') {
        if (!Digits(s, i + 1, 2))
            return false;
        strSec = s.substr(i, 3);
        i += 3;
        if (i < s.size() && s[i] == '.') {
            size_t n = 0;
            while (i + 1 + n < s.size() && Digits(s, i + 1 + n, 1))
                ++n;
            if (n == 0)
                return false;
            strMs = "." + (s.substr(i + 1, n) + "00").substr(0, 3);
            i += 1 + n;
        }
    }
    if (i < s.size() && s[i] == 'Z')
        ++i;
    if (i != s.size() || std::atoi(strTime.c_str()) > 23 || std::atoi(strTime.c_str() + 3) > 59
        || std::atoi(strSec.c_str() + 1) > 59)
        return false;
    *pBound = s.substr(0, 10) + "T" + strTime + strSec + strMs + "Z";
    *pbInclusive = true;
    return true;
}

bool ParseRecordsFormat(const std::string& strText, ERecordsFormat* pFormat)
{
    if (strText == "csv")
        *pFormat = ERecordsFormat::kCsv;
    else if (strText == "jsonl")
        *pFormat = ERecordsFormat::kJsonl;
    else if (strText == "count")
        *pFormat = ERecordsFormat::kCount;
    else
        return false;
    return true;
}

bool QueryRecords(const std::string& strTarget, const SRecordFilter& filter, std::vector<SRunRecord>* pRecords,
                  std::string* pErr)
{
    pRecords->clear();
    return ReadStore(strTarget, filter, [pRecords](const SRunRecord& rec) { pRecords->push_back(rec); }, pErr);
}

void SYieldCounts::Add(const SRunRecord& rec)
{
    switch (RecordYield(rec)) {
    case kYieldCompleted: ++nCompleted; break;
    case kYieldNotVerified: ++nNotVerified; break;
    case kYieldFailed: ++nFailed; break;
    case kYieldNeither: break;
    }
}

int ExportRecords(const SRecordsExport& request, FILE* pOut, FILE* pErr, const RecordReader& reader)
{
    const char* pszProgram = request.strProgram.c_str();
    SRecordFilter filter;
    bool bIgnored = false;
    if (!request.strSince.empty() && !ParseRecordsTime(request.strSince, false, &filter.strSince, &bIgnored)) {
        std::fprintf(pErr, "%s: --since %s: not a date (2026-03-01), a UTC date-time (2026-03-01T08:00:00) or today\n",
                     pszProgram, request.strSince.c_str());
        return 2;
    }
    if (!request.strUntil.empty()
        && !ParseRecordsTime(request.strUntil, true, &filter.strUntil, &filter.bUntilInclusive)) {
        std::fprintf(pErr, "%s: --until %s: not a date (2026-03-01), a UTC date-time (2026-03-01T08:00:00) or today\n",
                     pszProgram, request.strUntil.c_str());
        return 2;
    }
    filter.strResult = request.strResult;

    std::string strOut;
    std::map<std::string, long long> counts;
    SYieldCounts yield;
    long long nTotal = 0;
    bool bWriteFailed = false;
    int nWriteErrno = 0;
    // Written in pieces, so that 100,000 records never sit in memory at once.
    auto flush = [&](bool bAll) {
        if (bWriteFailed || !(bAll || strOut.size() >= 65536))
            return;
        if (std::fwrite(strOut.data(), 1, strOut.size(), pOut) != strOut.size() || (bAll && std::fflush(pOut) != 0)) {
            bWriteFailed = true;
            nWriteErrno = errno;
        }
        strOut.clear();
    };
    if (request.eFormat == ERecordsFormat::kCsv)
        strOut = RecordCsvHeader();
    std::string strErr;
    auto onRecord = [&](const SRunRecord& rec) {
        ++nTotal;
        if (request.eFormat == ERecordsFormat::kCount) {
            ++counts[rec.strResult];
            yield.Add(rec);
        } else {
            strOut += request.eFormat == ERecordsFormat::kCsv ? RecordCsvRow(rec) : RecordJsonLine(rec);
        }
        flush(false);
    };
    const bool bOk = reader ? reader(filter, onRecord, &strErr) : ReadStore(request.strTarget, filter, onRecord, &strErr);
    if (!bOk) {
        std::fprintf(pErr, "%s: %s\n", pszProgram, strErr.c_str());
        return 1;
    }
    if (request.eFormat == ERecordsFormat::kCount) {
        strOut = "result,count\r\n";
        for (const auto& c : counts)
            strOut += CsvCell(c.first) + "," + std::to_string(c.second) + "\r\n";
        strOut += "total," + std::to_string(nTotal) + "\r\n";
        strOut += "yield_completed," + std::to_string(yield.nCompleted) + "\r\n";
        strOut += "yield_not_verified," + std::to_string(yield.nNotVerified) + "\r\n";
        strOut += "yield_failed," + std::to_string(yield.nFailed) + "\r\n";
    }
    flush(true);
    if (bWriteFailed) {
        std::fprintf(pErr, "%s: cannot write the records: %s\n", pszProgram,
                     nWriteErrno ? std::strerror(nWriteErrno) : "write error");
        return 1;
    }
    return 0;
}

// Getting records out: zt9047q-flash --records TARGET [--since TIME]
// [--until TIME] [--result R] [--format csv|jsonl|count], and a query for
// other rooms of the program. Both open a connection of their own for each
// call, so they may be used from any thread.
#pragma once

#include "RecordFilter.h"
#include "RunRecord.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

enum class ERecordsFormat
{
    kCsv,   // RFC 4180 with a header row
    kJsonl, // one JSON object per record
    kCount, // "result,count" rows per result, "total,N", then the yield's three figures
};
bool ParseRecordsFormat(const std::string& strText, ERecordsFormat* pFormat);

struct SRecordsExport
{
    std::string strTarget;
    std::string strSince; // TIME as given, "" for none
    std::string strUntil;
    std::string strResult;
    ERecordsFormat eFormat = ERecordsFormat::kCsv;
    std::string strProgram = "zt9047q-flash"; // the name in messages
};

// Reads a store's records that match, newest last, one by one. False with
// the reason when the store cannot be read.
typedef std::function<bool(const SRecordFilter& filter, const std::function<void(const SRunRecord&)>& onRecord,
                           std::string* pErr)>
    RecordReader;

// Writes the records, newest last, to pOut; faults go to pErr. Returns the
// exit status: 0, 1 when the store cannot be read or the output cannot be
// written, 2 for a bad or impossible TIME. Without a reader: the SQLite file
// strTarget.
int ExportRecords(const SRecordsExport& request, FILE* pOut, FILE* pErr, const RecordReader& reader = nullptr);

// The records of an SQLite file that match, newest last. False with the
// reason when the store cannot be read (a server's records are read by
// zt9047q-forward, which links its library).
bool QueryRecords(const std::string& strTarget, const SRecordFilter& filter, std::vector<SRunRecord>* pRecords,
                  std::string* pErr);

// The yield's figures as --format count names them.
struct SYieldCounts
{
    long long nCompleted = 0;
    long long nNotVerified = 0;
    long long nFailed = 0;
    void Add(const SRunRecord& rec);
};

// Getting records out: zt9047q-flash --records TARGET [--since TIME]
// [--until TIME] [--result R] [--format csv|jsonl|count], and a query for
// other rooms of the program. Both open a connection of their own for each
// call, so they may be used from any thread.
#pragma once

#include "RecordFilter.h"
#include "RunRecord.h"

#include <cstdio>
#include <string>
#include <vector>

enum class ERecordsFormat
{
    kCsv,   // RFC 4180 with a header row
    kJsonl, // one JSON object per record
    kCount, // "result,count" rows per result, then "total,N"
};
bool ParseRecordsFormat(const std::string& strText, ERecordsFormat* pFormat);

struct SRecordsExport
{
    std::string strTarget;
    std::string strSince; // TIME as given, "" for none
    std::string strUntil;
    std::string strResult;
    ERecordsFormat eFormat = ERecordsFormat::kCsv;
};

// Writes the records, newest last, to pOut; faults go to pErr. Returns the
// exit status: 0, 1 when the store cannot be read, 2 for a bad TIME.
int ExportRecords(const SRecordsExport& request, FILE* pOut, FILE* pErr);

// The records of a store that match, newest last (a file path or a
// postgresql:// URL). False with the reason when the store cannot be read.
bool QueryRecords(const std::string& strTarget, const SRecordFilter& filter, std::vector<SRunRecord>* pRecords,
                  std::string* pErr);

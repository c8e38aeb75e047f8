// Records in an SQLite file: the store itself, or a station's spool in
// front of a PostgreSQL server. WAL mode and a busy time-out, so that
// several stations can write one file at once. One object is one
// connection: use it from one thread at a time.
#pragma once

#include "RecordFilter.h"
#include "RunRecord.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct sqlite3;

// The records' schema version; a store with a newer one is refused.
const int kRecordsSchemaVersion = 1;

class CSqliteStore
{
public:
    CSqliteStore() = default;
    ~CSqliteStore();
    CSqliteStore(const CSqliteStore&) = delete;
    CSqliteStore& operator=(const CSqliteStore&) = delete;

    // For writing: opens (creating the file and the schema on first use) and
    // proves that a write transaction can be taken and committed.
    bool OpenForWriting(const std::string& strPath, int nBusyTimeoutMs, std::string* pErr);
    // For reading only: the file must exist and hold records.
    bool OpenForReading(const std::string& strPath, int nBusyTimeoutMs, std::string* pErr);
    void Close();

    // Inserts or replaces the record in its own committed transaction. With
    // bPending the row is also marked for forwarding, after every row
    // marked before it.
    bool Put(const SRunRecord& rec, bool bPending, std::string* pErr);

    bool Query(const SRecordFilter& filter, const std::function<void(const SRunRecord&)>& onRecord,
               std::string* pErr);

    // Rows waiting to be forwarded, in the order they were marked, with the
    // mark each had when it was read.
    struct SPending
    {
        SRunRecord rec;
        int64_t nMark = 0;
    };
    bool TakePending(int nMax, std::vector<SPending>* pOut, std::string* pErr);
    // Clears the marks of rows forwarded as read: a row written again in
    // the meantime keeps its newer mark and goes again.
    bool MarkForwarded(const std::vector<SPending>& rows, std::string* pErr);
    bool CountPending(int64_t* pnCount, std::string* pErr);

private:
    bool Exec(const char* pszSql, std::string* pErr);
    // Ends the open transaction: committed when the writes went well,
    // otherwise (or when the commit fails) rolled back, with the reason.
    bool Finish(bool bWritten, const char* pszWhat, std::string* pErr);
    bool TryOpenForWriting(const std::string& strPath, int nBusyTimeoutMs, std::string* pErr, int* pnCode);
    bool OpenFile(const std::string& strPath, int nFlags, int nBusyTimeoutMs, std::string* pErr);
    bool SchemaVersion(int* pnVersion, std::string* pErr);
    std::string Error(const std::string& strWhat) const;

    sqlite3* m_db = nullptr;
    std::string m_strPath;
};

// Records in an SQLite file: the store itself, or a station's spool in
// front of a PostgreSQL server. WAL mode and a busy time-out, so that
// several stations can write one file at once. One object is one
// connection: use it from one thread at a time.
#pragma once

#include "RecordFilter.h"
#include "RunRecord.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct sqlite3;

// The records' schema version; a store with a newer one is refused.
// 2: the columns reason and hint; in a spool, each row's target and who
// spooled it.
const int kRecordsSchemaVersion = 2;

// What a spool keeps beside a row it has still to forward: the target it
// is for (its URL without a password) and who wrote it (one station's run
// of the program).
struct SSpoolTag
{
    std::string strTarget;
    std::string strOwner;
};

// A spool's rows still to be forwarded.
struct SPendingCounts
{
    int64_t nMine = 0;   // of this target, written by this owner
    int64_t nOthers = 0; // of this target, written by others sharing the spool
    // Rows of other targets, by target ("" for rows spooled before rows
    // knew their target).
    std::vector<std::pair<std::string, int64_t>> otherTargets;
    int64_t Total() const { return nMine + nOthers; }
    int64_t OtherTargetsTotal() const
    {
        int64_t n = 0;
        for (const auto& t : otherTargets)
            n += t.second;
        return n;
    }
};

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

    // How long a statement waits for another connection's lock from now on.
    void SetBusyTimeout(int nMs);
    // No wait for a lock goes past this (steady clock), a wait under way
    // included. May be called from any thread.
    void SetDeadline(std::chrono::steady_clock::time_point deadline);

    // Inserts or replaces the record in its own committed transaction. With
    // a spool tag the row is also marked for forwarding to its target,
    // after every row marked before it.
    bool Put(const SRunRecord& rec, const SSpoolTag* pSpool, std::string* pErr);

    bool Query(const SRecordFilter& filter, const std::function<void(const SRunRecord&)>& onRecord,
               std::string* pErr);

    // Rows waiting to be forwarded, in the order they were marked, with the
    // mark each had when it was read.
    struct SPending
    {
        SRunRecord rec;
        int64_t nMark = 0;
    };
    bool TakePending(const std::string& strTarget, int nMax, std::vector<SPending>* pOut, std::string* pErr);
    // Clears the marks of rows forwarded as read: a row written again in
    // the meantime keeps its newer mark and goes again.
    bool MarkForwarded(const std::vector<SPending>& rows, std::string* pErr);
    bool CountPending(const std::string& strTarget, const std::string& strOwner, SPendingCounts* pCounts,
                      std::string* pErr);
    // Gives the rows still to be forwarded to one target ("" for rows that
    // never knew theirs) to another; their number in *pnMoved.
    bool MoveTarget(const std::string& strFrom, const std::string& strTo, int64_t* pnMoved, std::string* pErr);

private:
    bool Exec(const char* pszSql, std::string* pErr);
    // Ends the open transaction: committed when the writes went well,
    // otherwise (or when the commit fails) rolled back, with the reason.
    bool Finish(bool bWritten, const char* pszWhat, std::string* pErr);
    bool TryOpenForWriting(const std::string& strPath, int nBusyTimeoutMs, std::string* pErr, int* pnCode);
    bool OpenFile(const std::string& strPath, int nFlags, int nBusyTimeoutMs, std::string* pErr);
    bool SchemaVersion(int* pnVersion, std::string* pErr);
    std::string Error(const std::string& strWhat) const;
    // The select list of the record's columns: those an older file lacks
    // read as null.
    bool SelectList(std::string* pList, std::string* pErr);

    static int OnBusy(void* pThis, int nTries);

    sqlite3* m_db = nullptr;
    std::string m_strPath;
    std::atomic<int> m_nBusyTimeoutMs{0};
    std::atomic<long long> m_nDeadlineMs{0}; // steady clock, 0 for none
    std::chrono::steady_clock::time_point m_busySince;
};

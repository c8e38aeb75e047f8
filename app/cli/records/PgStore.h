// Records on a PostgreSQL server (libpq), for many stations sharing one
// database. One object is one connection: use it from one thread at a time.
#pragma once

#include "RecordFilter.h"
#include "RunRecord.h"

#include <functional>
#include <string>
#include <vector>

struct pg_conn;

class CPgStore
{
public:
    CPgStore() = default;
    ~CPgStore();
    CPgStore(const CPgStore&) = delete;
    CPgStore& operator=(const CPgStore&) = delete;

    enum EConnect
    {
        kConnected,
        kUnreachable, // no server answered: it may come back
        kRefused,     // a server answered and refused (credentials, no such database), or the URL is bad
    };
    EConnect Connect(const std::string& strUrl, int nTimeoutS, std::string* pErr);
    bool Connected() const { return m_pConn != nullptr; }
    void Close();

    // Creates the schema if absent; refuses a newer one.
    bool EnsureSchema(std::string* pErr);
    // Inserts or updates the records by id, all in one transaction. A
    // finished row is never set back to "running".
    bool PutBatch(const std::vector<SRunRecord>& recs, std::string* pErr);
    bool Query(const SRecordFilter& filter, const std::function<void(const SRunRecord&)>& onRecord,
               std::string* pErr);

private:
    bool Exec(const std::string& strSql, std::string* pErr);
    std::string Error(const std::string& strWhat) const;

    pg_conn* m_pConn = nullptr;
    bool m_bPrepared = false;
};

bool IsPostgresTarget(const std::string& strTarget);

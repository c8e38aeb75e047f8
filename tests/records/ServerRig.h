// What the server cases share: the server's rows by id (each id once), a
// session of another program holding a table's lock, and the spool's
// pending count. scripts/test-records.sh starts the server.
#pragma once

#include "PgStore.h"
#include "RecordsRig.h"
#include "SqliteStore.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <map>

inline std::map<std::string, SRunRecord> ServerRows(const std::string& strUrl)
{
    CPgStore server;
    std::string strErr;
    std::map<std::string, SRunRecord> byId;
    EXPECT_EQ(server.Connect(strUrl, &strErr), CPgStore::kConnected) << strErr;
    EXPECT_TRUE(server.Query(SRecordFilter(), [&](const SRunRecord& r) {
        EXPECT_TRUE(byId.emplace(r.strId, r).second) << "twice: " << r.strId;
    }, &strErr)) << strErr;
    return byId;
}

// Another session that takes a table with LOCK TABLE ... ACCESS EXCLUSIVE
// and holds it until Release (or its end).
class CTableLock
{
public:
    CTableLock(const std::string& strUrl, const std::string& strTable)
    {
        m_pConn = PQconnectdb(strUrl.c_str());
        EXPECT_EQ(PQstatus(m_pConn), CONNECTION_OK) << PQerrorMessage(m_pConn);
        Exec("BEGIN");
        Exec("LOCK TABLE " + strTable + " IN ACCESS EXCLUSIVE MODE");
    }
    ~CTableLock()
    {
        Release();
        PQfinish(m_pConn);
    }
    void Release()
    {
        if (m_bHeld)
            Exec("COMMIT");
        m_bHeld = false;
    }
    void Exec(const std::string& strSql)
    {
        PGresult* r = PQexec(m_pConn, strSql.c_str());
        EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << strSql << ": " << PQerrorMessage(m_pConn);
        PQclear(r);
    }

private:
    PGconn* m_pConn = nullptr;
    bool m_bHeld = true;
};

// The spool's rows still to go to this target.
inline int64_t SpoolPending(const std::string& strSpool, const std::string& strTarget)
{
    CSqliteStore spool;
    std::string strErr;
    SPendingCounts counts;
    if (!spool.OpenForReading(strSpool, 5000, &strErr) || !spool.CountPending(strTarget, "", &counts, &strErr))
        return -1;
    return counts.Total();
}

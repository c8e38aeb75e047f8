#include "PgStore.h"
#include "SqliteStore.h"

#include <libpq-fe.h>

namespace {

const char* const kCreateSql =
    "CREATE TABLE IF NOT EXISTS records_meta (key text PRIMARY KEY, value text);"
    "CREATE TABLE IF NOT EXISTS runs ("
    " id uuid PRIMARY KEY, host text, \"user\" text, tool_version text, packaged_version numeric,"
    " image_sha256 text, port text, slot text, usb_path text, usb_serial text, unit_version numeric,"
    " result text NOT NULL, text text, bytes bigint, frames bigint, started_at text NOT NULL,"
    " ended_at text, elapsed_ms bigint, verified boolean, version_after numeric);"
    "CREATE INDEX IF NOT EXISTS runs_started ON runs(started_at);";

// Any number, so that stations creating the schema at once take turns.
const char* const kSchemaLock = "SELECT pg_advisory_xact_lock(9047017)";

std::string Trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    for (char& c : s)
        if (c == '\n')
            c = ' ';
    return s;
}

struct CResult
{
    PGresult* p;
    explicit CResult(PGresult* pResult) : p(pResult) {}
    ~CResult() { PQclear(p); }
};

} // namespace

bool IsPostgresTarget(const std::string& strTarget)
{
    return strTarget.rfind("postgresql://", 0) == 0 || strTarget.rfind("postgres://", 0) == 0;
}

CPgStore::~CPgStore()
{
    Close();
}

void CPgStore::Close()
{
    if (m_pConn)
        PQfinish(m_pConn);
    m_pConn = nullptr;
    m_bPrepared = false;
}

std::string CPgStore::Error(const std::string& strWhat) const
{
    return strWhat + ": " + Trim(m_pConn ? PQerrorMessage(m_pConn) : "no connection");
}

CPgStore::EConnect CPgStore::Connect(const std::string& strUrl, int nTimeoutS, std::string* pErr)
{
    Close();
    const std::string strTimeout = std::to_string(nTimeoutS);
    // Ours first: what the URL itself says wins. The keep-alives find a cut
    // network within about half a minute instead of the system's hours.
    const char* keys[] = {"connect_timeout", "application_name", "keepalives", "keepalives_idle",
                          "keepalives_interval", "keepalives_count", "tcp_user_timeout", "dbname", nullptr};
    const char* values[] = {strTimeout.c_str(), "zt9047q-flash", "1", "10", "5", "3", "15000", strUrl.c_str(),
                            nullptr};
    m_pConn = PQconnectdbParams(keys, values, 1);
    if (m_pConn && PQstatus(m_pConn) == CONNECTION_OK)
        return kConnected;
    *pErr = Error("records server");
    Close();
    // Did any server answer? One that answered and refused will refuse
    // again; one that did not may be back later.
    switch (PQpingParams(keys, values, 1)) {
    case PQPING_NO_RESPONSE:
    case PQPING_REJECT: return kUnreachable;
    default: return kRefused;
    }
}

bool CPgStore::Exec(const std::string& strSql, std::string* pErr)
{
    CResult r(PQexec(m_pConn, strSql.c_str()));
    const ExecStatusType e = PQresultStatus(r.p);
    if (e == PGRES_COMMAND_OK || e == PGRES_TUPLES_OK)
        return true;
    *pErr = Error("records server");
    return false;
}

bool CPgStore::EnsureSchema(std::string* pErr)
{
    // Stations may hold only the rights to read and write rows: look before
    // creating anything.
    int nVersion = 0;
    {
        CResult r(PQexec(m_pConn, "SELECT to_regclass('records_meta') IS NOT NULL AND to_regclass('runs') IS NOT NULL"));
        if (PQresultStatus(r.p) != PGRES_TUPLES_OK) {
            *pErr = Error("records server");
            return false;
        }
        if (std::string(PQgetvalue(r.p, 0, 0)) == "t") {
            CResult v(PQexec(m_pConn, "SELECT value FROM records_meta WHERE key='schema_version'"));
            if (PQresultStatus(v.p) != PGRES_TUPLES_OK) {
                *pErr = Error("records server");
                return false;
            }
            if (PQntuples(v.p) > 0)
                nVersion = std::atoi(PQgetvalue(v.p, 0, 0));
        }
    }
    if (nVersion > kRecordsSchemaVersion) {
        *pErr = "records server has schema version " + std::to_string(nVersion) + "; this program knows version "
            + std::to_string(kRecordsSchemaVersion) + " and older: use a newer zt9047q-flash";
        return false;
    }
    if (nVersion == kRecordsSchemaVersion)
        return true;
    if (Exec(std::string("BEGIN;") + kSchemaLock + ";" + kCreateSql
                 + "INSERT INTO records_meta VALUES('schema_version','" + std::to_string(kRecordsSchemaVersion)
                 + "') ON CONFLICT (key) DO NOTHING;COMMIT",
             pErr))
        return true;
    std::string strIgnored;
    Exec("ROLLBACK", &strIgnored);
    return false;
}

bool CPgStore::PutBatch(const std::vector<SRunRecord>& recs, std::string* pErr)
{
    const std::vector<const char*>& names = RecordFieldNames();
    if (!m_bPrepared) {
        std::string strCols, strValues, strSet;
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string strName = std::string("\"") + names[i] + "\"";
            strCols += (i ? "," : "") + strName;
            strValues += (i ? ",$" : "$") + std::to_string(i + 1);
            if (i)
                strSet += std::string(i > 1 ? "," : "") + strName + "=EXCLUDED." + strName;
        }
        const std::string strSql = "INSERT INTO runs(" + strCols + ") VALUES(" + strValues
            + ") ON CONFLICT (id) DO UPDATE SET " + strSet
            + " WHERE runs.result = 'running' OR EXCLUDED.result <> 'running'";
        CResult r(PQprepare(m_pConn, "zt_put", strSql.c_str(), static_cast<int>(names.size()), nullptr));
        if (PQresultStatus(r.p) != PGRES_COMMAND_OK) {
            *pErr = Error("records server");
            return false;
        }
        m_bPrepared = true;
    }
    if (!Exec("BEGIN", pErr))
        return false;
    for (const SRunRecord& rec : recs) {
        std::vector<SField> fields = RecordFields(rec);
        std::vector<const char*> values;
        for (const SField& f : fields)
            values.push_back(f.strValue ? f.strValue->c_str() : nullptr);
        CResult r(PQexecPrepared(m_pConn, "zt_put", static_cast<int>(values.size()), values.data(), nullptr,
                                 nullptr, 0));
        if (PQresultStatus(r.p) != PGRES_COMMAND_OK) {
            *pErr = Error("records server");
            std::string strIgnored;
            Exec("ROLLBACK", &strIgnored);
            return false;
        }
    }
    return Exec("COMMIT", pErr);
}

bool CPgStore::Query(const SRecordFilter& filter, const std::function<void(const SRunRecord&)>& onRecord,
                     std::string* pErr)
{
    std::string strCols;
    for (const char* psz : RecordFieldNames())
        strCols += std::string(strCols.empty() ? "" : ",") + "\"" + psz + "\"::text";
    std::string strWhere = " WHERE true";
    if (!filter.strSince.empty())
        strWhere += " AND started_at >= $1";
    if (!filter.strUntil.empty())
        strWhere += filter.bUntilInclusive ? " AND started_at <= $2" : " AND started_at < $2";
    if (!filter.strResult.empty())
        strWhere += " AND result = $3";
    // Every parameter is named once at least, so that each has a type.
    strWhere += " AND $1::text IS NOT NULL AND $2::text IS NOT NULL AND $3::text IS NOT NULL";
    std::string strSql = "SELECT " + strCols + " FROM runs" + strWhere;
    if (filter.nLimit > 0)
        strSql = "SELECT * FROM (" + strSql + " ORDER BY started_at DESC, id DESC LIMIT "
            + std::to_string(filter.nLimit) + ") newest";
    strSql += " ORDER BY 16, 1";
    const char* values[] = {filter.strSince.c_str(), filter.strUntil.c_str(), filter.strResult.c_str()};
    if (!PQsendQueryParams(m_pConn, strSql.c_str(), 3, nullptr, values, nullptr, nullptr, 0)
        || !PQsetSingleRowMode(m_pConn)) {
        *pErr = Error("records server");
        return false;
    }
    bool bOk = true;
    while (PGresult* pResult = PQgetResult(m_pConn)) {
        CResult r(pResult);
        const ExecStatusType e = PQresultStatus(r.p);
        if (e == PGRES_SINGLE_TUPLE) {
            onRecord(RecordFromValues([&](size_t i) -> std::optional<std::string> {
                if (PQgetisnull(r.p, 0, static_cast<int>(i)))
                    return std::nullopt;
                return std::string(PQgetvalue(r.p, 0, static_cast<int>(i)));
            }));
        } else if (e != PGRES_TUPLES_OK && bOk) {
            *pErr = Error("records server");
            bOk = false;
        }
    }
    return bOk;
}

#include "PgStore.h"
#include "SqliteStore.h"

#include <libpq-fe.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <poll.h>

namespace {

const char* const kCreateSql =
    "CREATE TABLE IF NOT EXISTS records_meta (key text PRIMARY KEY, value text);"
    "CREATE TABLE IF NOT EXISTS runs ("
    " id uuid PRIMARY KEY, host text, \"user\" text, tool_version text, packaged_version numeric,"
    " image_sha256 text, port text, slot text, usb_path text, usb_serial text, unit_version numeric,"
    " result text NOT NULL, text text, bytes bigint, frames bigint, started_at text NOT NULL,"
    " ended_at text, elapsed_ms bigint, verified boolean, version_after numeric, reason text, hint text);"
    "CREATE INDEX IF NOT EXISTS runs_started ON runs(started_at);";

// From version 1: the columns added since, at the end.
const char* const kMigrate1Sql =
    "ALTER TABLE runs ADD COLUMN IF NOT EXISTS reason text, ADD COLUMN IF NOT EXISTS hint text;";

// Any number, so that stations creating the schema at once take turns.
const char* const kSchemaLock = "SELECT pg_advisory_xact_lock(9047017)";

std::atomic<int> g_nUninterruptible(0);

// Marks a libpq call that waits without a way in: a stop signal then ends
// the process instead.
struct CUninterruptible
{
    CUninterruptible() { ++g_nUninterruptible; }
    ~CUninterruptible() { --g_nUninterruptible; }
};

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    for (char& c : s)
        if (c == '\n')
            c = ' ';
    return s;
}

// A failure that another try may get past: a time-out (57014), a lock not
// granted (55P03), a deadlock or serialisation conflict (40...), the
// server shutting down or starting (57P...), a lost connection (08...).
bool IsNoAnswer(const char* pszState)
{
    if (!pszState)
        return true; // no result from the server at all
    const std::string s = pszState;
    return s == "57014" || s == "55P03" || s.rfind("40", 0) == 0 || s.rfind("57P", 0) == 0 || s.rfind("08", 0) == 0;
}

struct CResult
{
    PGresult* p;
    explicit CResult(PGresult* pResult) : p(pResult) {}
    ~CResult() { PQclear(p); }
};

} // namespace

bool PgInUninterruptibleCall()
{
    return g_nUninterruptible.load() > 0;
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

long long CPgStore::Deadline() const
{
    return NowMs() + m_limits.nStatementTimeoutMs + m_limits.nClientMarginMs;
}

bool CPgStore::Failed(const std::string& strWhy, bool bNoAnswer, std::string* pErr)
{
    *pErr = "records server: " + strWhy;
    m_bNoAnswer = bNoAnswer;
    return false;
}

void CPgStore::Cancel()
{
    if (!m_pConn)
        return;
    CUninterruptible guard;
    if (PGcancel* pCancel = PQgetCancel(m_pConn)) {
        char sz[256];
        PQcancel(pCancel, sz, sizeof sz);
        PQfreeCancel(pCancel);
    }
}

bool CPgStore::WaitSocket(bool bWrite, long long nDeadlineMs, std::string* pErr)
{
    for (;;) {
        struct pollfd fds[2] = {{PQsocket(m_pConn), static_cast<short>(bWrite ? POLLOUT : POLLIN), 0},
                                {m_fdStop, POLLIN, 0}};
        const long long nLeft = nDeadlineMs - NowMs();
        if (nLeft <= 0)
            return Failed("no answer in time", true, pErr);
        const int n = poll(fds, m_fdStop >= 0 ? 2 : 1, static_cast<int>(nLeft));
        if (n < 0 && errno != EINTR)
            return Failed("poll failed", true, pErr);
        if (m_fdStop >= 0 && (fds[1].revents & POLLIN))
            return Failed("stopped", true, pErr);
        if (n > 0 && fds[0].revents)
            return true;
    }
}

CPgStore::EConnect CPgStore::Connect(const std::string& strUrl, std::string* pErr)
{
    Close();
    m_bNoAnswer = false;
    const std::string strTimeout = std::to_string(m_limits.nConnectTimeoutS);
    // The session's own limits, so that a lock held by another session or a
    // stuck server ends a statement instead of holding it.
    const std::string strOptions = "-c statement_timeout=" + std::to_string(m_limits.nStatementTimeoutMs)
        + " -c lock_timeout=" + std::to_string(m_limits.nLockTimeoutMs)
        + " -c idle_in_transaction_session_timeout=60000";
    // Ours first: what the URL itself says wins. The keep-alives find a cut
    // network within about half a minute instead of the system's hours.
    const char* keys[] = {"connect_timeout",  "application_name", "keepalives", "keepalives_idle",
                          "keepalives_interval", "keepalives_count", "tcp_user_timeout", "client_encoding",
                          "options",          "dbname",           nullptr};
    const char* values[] = {strTimeout.c_str(), "zt9047q-forward", "1",    "10", "5", "3", "15000", "UTF8",
                            strOptions.c_str(), strUrl.c_str(),    nullptr};
    m_pConn = PQconnectStartParams(keys, values, 1);
    const long long nDeadline = NowMs() + m_limits.nConnectTimeoutS * 1000LL;
    bool bTimedOut = false;
    if (m_pConn && PQstatus(m_pConn) != CONNECTION_BAD) {
        PostgresPollingStatusType eState = PGRES_POLLING_WRITING;
        while (eState != PGRES_POLLING_OK && eState != PGRES_POLLING_FAILED) {
            std::string strIgnored;
            if (!WaitSocket(eState == PGRES_POLLING_WRITING, nDeadline, &strIgnored)) {
                bTimedOut = true;
                break;
            }
            eState = PQconnectPoll(m_pConn);
        }
        if (eState == PGRES_POLLING_OK && !bTimedOut) {
            PQsetnonblocking(m_pConn, 1);
            // The server's notices ("already exists, skipping") are no news
            // for the operator, whose terminal this may share.
            PQsetNoticeProcessor(m_pConn, [](void*, const char*) {}, nullptr);
            return kConnected;
        }
    }
    if (bTimedOut) {
        *pErr = "records server: no answer within " + strTimeout + " s";
        Close();
        m_bNoAnswer = true;
        return kUnreachable;
    }
    *pErr = Error("records server");
    Close();
    // Did any server answer? One that answered and refused will refuse
    // again; one that did not may be back later.
    CUninterruptible guard;
    switch (PQpingParams(keys, values, 1)) {
    case PQPING_NO_RESPONSE:
    case PQPING_REJECT: m_bNoAnswer = true; return kUnreachable;
    default: return kRefused;
    }
}

bool CPgStore::NextResult(long long nDeadlineMs, PGresult** ppResult, std::string* pErr)
{
    int nFlush;
    while ((nFlush = PQflush(m_pConn)) == 1)
        if (!WaitSocket(true, nDeadlineMs, pErr))
            return false;
    if (nFlush < 0)
        return Failed(Trim(PQerrorMessage(m_pConn)), true, pErr);
    while (PQisBusy(m_pConn)) {
        if (!WaitSocket(false, nDeadlineMs, pErr))
            return false;
        if (!PQconsumeInput(m_pConn))
            return Failed(Trim(PQerrorMessage(m_pConn)), true, pErr);
    }
    *ppResult = PQgetResult(m_pConn);
    return true;
}

bool CPgStore::ExecParams(const std::string& strSql, const std::vector<const char*>& values, bool bPrepared,
                          const std::function<void(PGresult*)>& onRow, std::string* pErr)
{
    m_bNoAnswer = false;
    if (!m_pConn)
        return Failed("not connected", true, pErr);
    const int nSent = bPrepared
        ? PQsendQueryPrepared(m_pConn, strSql.c_str(), static_cast<int>(values.size()), values.data(), nullptr,
                              nullptr, 0)
        : values.empty() && !onRow
        ? PQsendQuery(m_pConn, strSql.c_str())
        : PQsendQueryParams(m_pConn, strSql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                            nullptr, nullptr, 0);
    if (!nSent)
        return Failed(Trim(PQerrorMessage(m_pConn)), PQstatus(m_pConn) == CONNECTION_BAD, pErr);
    if (onRow)
        PQsetSingleRowMode(m_pConn);
    bool bOk = true;
    for (;;) {
        PGresult* pResult = nullptr;
        if (!NextResult(Deadline(), &pResult, pErr)) {
            // Stopped or silent: the server is told to give up the
            // statement, and this connection is done with.
            Cancel();
            Close();
            return false;
        }
        if (!pResult)
            break;
        CResult r(pResult);
        const ExecStatusType e = PQresultStatus(r.p);
        if (e == PGRES_SINGLE_TUPLE && onRow)
            onRow(r.p);
        else if ((e == PGRES_TUPLES_OK || e == PGRES_COMMAND_OK) && onRow && PQntuples(r.p) > 0)
            onRow(r.p);
        else if (e != PGRES_TUPLES_OK && e != PGRES_COMMAND_OK && e != PGRES_SINGLE_TUPLE && bOk) {
            bOk = Failed(Trim(PQresultErrorMessage(r.p)), IsNoAnswer(PQresultErrorField(r.p, PG_DIAG_SQLSTATE)), pErr);
        }
    }
    if (PQstatus(m_pConn) == CONNECTION_BAD) {
        Close();
        return bOk ? Failed("connection lost", true, pErr) : false;
    }
    return bOk;
}

bool CPgStore::Exec(const std::string& strSql, std::string* pErr)
{
    return ExecParams(strSql, {}, false, nullptr, pErr);
}

bool CPgStore::EnsureSchema(std::string* pErr)
{
    // Stations may hold only the rights to read and write rows: look before
    // creating anything.
    std::string strThere;
    if (!ExecParams("SELECT to_regclass('records_meta') IS NOT NULL AND to_regclass('runs') IS NOT NULL", {}, false,
                    [&](PGresult* r) { strThere = PQgetvalue(r, 0, 0); }, pErr))
        return false;
    int nVersion = 0;
    if (strThere == "t"
        && !ExecParams("SELECT value FROM records_meta WHERE key='schema_version'", {}, false,
                       [&](PGresult* r) { nVersion = std::atoi(PQgetvalue(r, 0, 0)); }, pErr))
        return false;
    if (nVersion > kRecordsSchemaVersion) {
        m_bNoAnswer = false;
        *pErr = "records server has schema version " + std::to_string(nVersion) + "; this program knows version "
            + std::to_string(kRecordsSchemaVersion) + " and older: use a newer zt9047q-flash";
        return false;
    }
    if (nVersion == kRecordsSchemaVersion)
        return true;
    const std::string strVersion = std::to_string(kRecordsSchemaVersion);
    if (Exec(std::string("BEGIN;") + kSchemaLock + ";" + kCreateSql + kMigrate1Sql
                 + "INSERT INTO records_meta VALUES('schema_version','" + strVersion
                 + "') ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value WHERE records_meta.value::int < "
                 + strVersion + ";COMMIT",
             pErr))
        return true;
    std::string strIgnored;
    if (m_pConn)
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
            if (i != kColId)
                strSet += std::string(strSet.empty() ? "" : ",") + strName + "=EXCLUDED." + strName;
        }
        const std::string strSql = "INSERT INTO runs(" + strCols + ") VALUES(" + strValues
            + ") ON CONFLICT (id) DO UPDATE SET " + strSet
            + " WHERE runs.result = 'running' OR EXCLUDED.result <> 'running'";
        if (!PQsendPrepare(m_pConn, "zt_put", strSql.c_str(), static_cast<int>(names.size()), nullptr))
            return Failed(Trim(PQerrorMessage(m_pConn)), true, pErr);
        bool bOk = true;
        for (;;) {
            PGresult* pResult = nullptr;
            if (!NextResult(Deadline(), &pResult, pErr)) {
                Cancel();
                Close();
                return false;
            }
            if (!pResult)
                break;
            CResult r(pResult);
            if (PQresultStatus(r.p) != PGRES_COMMAND_OK && bOk)
                bOk = Failed(Trim(PQresultErrorMessage(r.p)), false, pErr);
        }
        if (!bOk)
            return false;
        m_bPrepared = true;
    }
    if (!Exec("BEGIN", pErr))
        return false;
    for (const SRunRecord& rec : recs) {
        std::vector<SField> fields = RecordFields(rec);
        std::vector<const char*> values;
        for (const SField& f : fields)
            values.push_back(f.strValue ? f.strValue->c_str() : nullptr);
        if (!ExecParams("zt_put", values, true, nullptr, pErr)) {
            std::string strIgnored;
            if (m_pConn)
                Exec("ROLLBACK", &strIgnored);
            return false;
        }
    }
    return Exec("COMMIT", pErr);
}

bool CPgStore::Query(const SRecordFilter& filter, const std::function<void(const SRunRecord&)>& onRecord,
                     std::string* pErr)
{
    // A server not yet brought to this schema lacks the newest columns:
    // they read as null.
    std::vector<std::string> present;
    if (!ExecParams("SELECT column_name::text FROM information_schema.columns WHERE table_name = 'runs'"
                    " AND table_schema = current_schema()",
                    {}, false, [&](PGresult* r) {
                        for (int i = 0; i < PQntuples(r); ++i)
                            present.push_back(PQgetvalue(r, i, 0));
                    },
                    pErr))
        return false;
    std::string strCols;
    for (const char* psz : RecordFieldNames()) {
        const std::string strName = std::string("\"") + psz + "\"";
        bool bThere = false;
        for (const std::string& s : present)
            bThere = bThere || s == psz;
        strCols += std::string(strCols.empty() ? "" : ",") + (bThere ? strName + "::text" : "NULL::text") + " AS "
            + strName;
    }
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
    else
        strSql = "SELECT * FROM (" + strSql + ") matching";
    strSql += " ORDER BY started_at, id";
    return ExecParams(strSql, {filter.strSince.c_str(), filter.strUntil.c_str(), filter.strResult.c_str()}, false,
                      [&](PGresult* r) {
                          onRecord(RecordFromValues([&](ERecordColumn eColumn) -> std::optional<std::string> {
                              const int n = static_cast<int>(eColumn);
                              if (PQgetisnull(r, 0, n))
                                  return std::nullopt;
                              return std::string(PQgetvalue(r, 0, n));
                          }));
                      },
                      pErr);
}

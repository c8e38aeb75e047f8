#include "SqliteStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

// The columns in the order of RecordFieldNames(), typed for SQLite: texts,
// versions as their text ("2.10", so the two decimals stay), counts as
// integers, the flag as 0 or 1. forward_mark orders the rows a spool has
// still to forward (null once forwarded, and always in a plain store);
// forward_target and spooled_by say where such a row goes and who wrote it.
const char* const kCreateSql =
    "CREATE TABLE IF NOT EXISTS runs ("
    " id TEXT PRIMARY KEY NOT NULL, host TEXT, \"user\" TEXT, tool_version TEXT, packaged_version TEXT,"
    " image_sha256 TEXT, port TEXT, slot TEXT, usb_path TEXT, usb_serial TEXT, unit_version TEXT,"
    " result TEXT NOT NULL, text TEXT, bytes INTEGER, frames INTEGER, started_at TEXT NOT NULL,"
    " ended_at TEXT, elapsed_ms INTEGER, verified INTEGER, version_after TEXT, forward_mark INTEGER,"
    " reason TEXT, hint TEXT, forward_target TEXT, spooled_by TEXT);"
    "CREATE INDEX IF NOT EXISTS runs_started ON runs(started_at);"
    "CREATE INDEX IF NOT EXISTS runs_forward ON runs(forward_mark);"
    "CREATE TABLE IF NOT EXISTS records_meta (key TEXT PRIMARY KEY NOT NULL, value TEXT);";

// From version 1: the new columns at the end. Rows spooled before have no
// target: they are forwarded once given one (MoveTarget).
const char* const kMigrate1Sql =
    "ALTER TABLE runs ADD COLUMN reason TEXT;"
    "ALTER TABLE runs ADD COLUMN hint TEXT;"
    "ALTER TABLE runs ADD COLUMN forward_target TEXT;"
    "ALTER TABLE runs ADD COLUMN spooled_by TEXT;";

std::string ColumnList()
{
    std::string s;
    for (const char* psz : RecordFieldNames()) {
        if (!s.empty())
            s += ',';
        s += '"';
        s += psz;
        s += '"';
    }
    return s;
}

// Statements prepared once per call site, finalized with the object.
struct CStmt
{
    sqlite3_stmt* p = nullptr;
    ~CStmt() { sqlite3_finalize(p); }
};

// A row selected with the record's columns first, in their order.
SRunRecord ReadRow(sqlite3_stmt* p)
{
    return RecordFromValues([p](ERecordColumn eColumn) -> std::optional<std::string> {
        const int n = static_cast<int>(eColumn);
        if (sqlite3_column_type(p, n) == SQLITE_NULL)
            return std::nullopt;
        if (RecordFieldKind(eColumn) == EFieldKind::kBool)
            return sqlite3_column_int(p, n) ? "true" : "false";
        const unsigned char* psz = sqlite3_column_text(p, n);
        return std::string(psz ? reinterpret_cast<const char*>(psz) : "");
    });
}

} // namespace

CSqliteStore::~CSqliteStore()
{
    Close();
}

void CSqliteStore::Close()
{
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool CSqliteStore::Finish(bool bWritten, const char* pszWhat, std::string* pErr)
{
    if (!bWritten)
        *pErr = Error(pszWhat);
    else if (Exec("COMMIT", pErr))
        return true;
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

std::string CSqliteStore::Error(const std::string& strWhat) const
{
    return strWhat + " " + m_strPath + ": " + (m_db ? sqlite3_errmsg(m_db) : "out of memory");
}

bool CSqliteStore::Exec(const char* pszSql, std::string* pErr)
{
    char* pszErr = nullptr;
    if (sqlite3_exec(m_db, pszSql, nullptr, nullptr, &pszErr) == SQLITE_OK)
        return true;
    if (pErr)
        *pErr = "records database " + m_strPath + ": " + (pszErr ? pszErr : sqlite3_errmsg(m_db));
    sqlite3_free(pszErr);
    return false;
}

bool CSqliteStore::OpenFile(const std::string& strPath, int nFlags, int nBusyTimeoutMs, std::string* pErr)
{
    Close();
    m_strPath = strPath;
    if (sqlite3_open_v2(strPath.c_str(), &m_db, nFlags, nullptr) != SQLITE_OK) {
        *pErr = Error("cannot open records database");
        Close();
        return false;
    }
    sqlite3_extended_result_codes(m_db, 1);
    m_nBusyTimeoutMs = nBusyTimeoutMs;
    m_nDeadlineMs = 0;
    sqlite3_busy_handler(m_db, &CSqliteStore::OnBusy, this);
    return true;
}

int CSqliteStore::OnBusy(void* pThis, int nTries)
{
    CSqliteStore& self = *static_cast<CSqliteStore*>(pThis);
    const auto now = std::chrono::steady_clock::now();
    if (nTries == 0)
        self.m_busySince = now;
    const long long nNowMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const long long nDeadlineMs = self.m_nDeadlineMs.load();
    if (now - self.m_busySince >= std::chrono::milliseconds(self.m_nBusyTimeoutMs.load())
        || (nDeadlineMs && nNowMs >= nDeadlineMs))
        return 0;
    // Short naps: another station's commit takes about a millisecond, and
    // a deadline is kept to within one nap.
    std::this_thread::sleep_for(std::chrono::milliseconds(nTries < 10 ? 1 : 10));
    return 1;
}

void CSqliteStore::SetBusyTimeout(int nMs)
{
    m_nBusyTimeoutMs = nMs > 0 ? nMs : 1;
}

void CSqliteStore::SetDeadline(std::chrono::steady_clock::time_point deadline)
{
    m_nDeadlineMs = std::chrono::duration_cast<std::chrono::milliseconds>(deadline.time_since_epoch()).count();
}

bool CSqliteStore::SelectList(std::string* pList, std::string* pErr)
{
    CStmt st;
    if (sqlite3_prepare_v2(m_db, "SELECT name FROM pragma_table_info('runs')", -1, &st.p, nullptr) != SQLITE_OK) {
        *pErr = Error("cannot read records database");
        return false;
    }
    std::vector<std::string> present;
    while (sqlite3_step(st.p) == SQLITE_ROW)
        present.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st.p, 0)));
    pList->clear();
    for (const char* psz : RecordFieldNames()) {
        const bool bThere = std::find(present.begin(), present.end(), psz) != present.end();
        *pList += std::string(pList->empty() ? "" : ",") + (bThere ? "" : "NULL AS ") + '"' + psz + '"';
    }
    return true;
}

bool CSqliteStore::SchemaVersion(int* pnVersion, std::string* pErr)
{
    CStmt st;
    if (sqlite3_prepare_v2(m_db, "PRAGMA user_version", -1, &st.p, nullptr) != SQLITE_OK
        || sqlite3_step(st.p) != SQLITE_ROW) {
        *pErr = Error("cannot read records database");
        return false;
    }
    *pnVersion = sqlite3_column_int(st.p, 0);
    if (*pnVersion > kRecordsSchemaVersion) {
        *pErr = "records database " + m_strPath + " has schema version " + std::to_string(*pnVersion)
            + "; this program knows version " + std::to_string(kRecordsSchemaVersion)
            + " and older: use a newer zt9047q-flash";
        return false;
    }
    return true;
}

bool CSqliteStore::OpenForWriting(const std::string& strPath, int nBusyTimeoutMs, std::string* pErr)
{
    // Two stations starting on a new file at once: the switch to WAL and the
    // schema can meet a lock that SQLite reports at once, without waiting
    // (to avoid a deadlock). Such a start is tried again within the busy
    // time-out.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(nBusyTimeoutMs);
    for (;;) {
        int nCode = SQLITE_OK;
        if (TryOpenForWriting(strPath, nBusyTimeoutMs, pErr, &nCode))
            return true;
        if ((nCode & 0xFF) != SQLITE_BUSY && (nCode & 0xFF) != SQLITE_LOCKED)
            return false;
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool CSqliteStore::TryOpenForWriting(const std::string& strPath, int nBusyTimeoutMs, std::string* pErr, int* pnCode)
{
    if (!OpenFile(strPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nBusyTimeoutMs, pErr))
        return false;
    if (sqlite3_db_readonly(m_db, "main") == 1) {
        *pErr = "records database " + strPath + " is read-only";
        Close();
        return false;
    }
    // WAL lets stations write one file at once; FULL keeps every commit
    // through a power cut.
    bool bOk = Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL", pErr);
    // The schema, and one real write, under the write lock: a store that
    // cannot take a write now is refused before anything is updated.
    int nVersion = 0;
    bOk = bOk && Exec("BEGIN IMMEDIATE", pErr) && SchemaVersion(&nVersion, pErr)
        && (nVersion == kRecordsSchemaVersion
            || Exec((std::string(nVersion == 1 ? kMigrate1Sql : kCreateSql) + "PRAGMA user_version="
                     + std::to_string(kRecordsSchemaVersion))
                        .c_str(),
                    pErr))
        && Exec(("INSERT OR REPLACE INTO records_meta(key,value) VALUES('last_opened_at','" + UtcNowIso8601Ms()
                 + "')")
                    .c_str(),
                pErr)
        && Exec("COMMIT", pErr);
    if (!bOk) {
        *pnCode = sqlite3_extended_errcode(m_db);
        if (!sqlite3_get_autocommit(m_db))
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        Close();
    }
    return bOk;
}

bool CSqliteStore::OpenForReading(const std::string& strPath, int nBusyTimeoutMs, std::string* pErr)
{
    if (!OpenFile(strPath, SQLITE_OPEN_READONLY, nBusyTimeoutMs, pErr)) {
        if (access(strPath.c_str(), R_OK) != 0 && errno == EACCES)
            *pErr += " (permission denied: join the group that owns its folder, for the station's service"
                     " 'sudo usermod -aG zt9047q $USER', then log in again)";
        return false;
    }
    int nVersion = 0;
    bool bRead = SchemaVersion(&nVersion, pErr);
    if (!bRead && sqlite3_extended_errcode(m_db) == SQLITE_READONLY_DIRECTORY
        && access((strPath + "-wal").c_str(), F_OK) != 0) {
        // An operator in the station's group may read its folder but not
        // make the write-ahead log's files there. With no log there, no
        // station writes now and the file alone holds every record.
        std::string strUri = "file:";
        for (char c : strPath) {
            if (c == '?' || c == '#' || c == '%') {
                char sz[4];
                std::snprintf(sz, sizeof sz, "%%%02X", static_cast<unsigned char>(c));
                strUri += sz;
            } else {
                strUri += c;
            }
        }
        if (!OpenFile(strUri + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nBusyTimeoutMs, pErr))
            return false;
        m_strPath = strPath;
        bRead = SchemaVersion(&nVersion, pErr);
    }
    if (!bRead) {
        Close();
        return false;
    }
    if (nVersion == 0) {
        *pErr = "records database " + strPath + " holds no records";
        Close();
        return false;
    }
    return true;
}

bool CSqliteStore::Put(const SRunRecord& rec, const SSpoolTag* pSpool, std::string* pErr)
{
    static const std::string strSql = [] {
        std::string strValues, strSet;
        for (const char* psz : RecordFieldNames()) {
            strValues += strValues.empty() ? "?" : ",?";
            if (std::string(psz) != "id")
                strSet += std::string(strSet.empty() ? "" : ",") + "\"" + psz + "\"=excluded.\"" + psz + "\"";
        }
        return "INSERT INTO runs(" + ColumnList() + ",forward_mark,forward_target,spooled_by) VALUES(" + strValues
            + ",CASE WHEN :pending THEN (SELECT COALESCE(MAX(forward_mark),0)+1 FROM runs) END,:target,:owner)"
              " ON CONFLICT(id) DO UPDATE SET "
            + strSet
            + ",forward_mark=excluded.forward_mark,forward_target=excluded.forward_target,"
              "spooled_by=excluded.spooled_by";
    }();
    CStmt st;
    if (sqlite3_prepare_v2(m_db, strSql.c_str(), -1, &st.p, nullptr) != SQLITE_OK) {
        *pErr = Error("cannot write to records database");
        return false;
    }
    int n = 1;
    for (const SField& f : RecordFields(rec)) {
        if (!f.strValue)
            sqlite3_bind_null(st.p, n);
        else if (f.eKind == EFieldKind::kBool)
            sqlite3_bind_int(st.p, n, *f.strValue == "true");
        else if (f.eKind == EFieldKind::kInteger)
            sqlite3_bind_int64(st.p, n, std::stoll(*f.strValue));
        else
            sqlite3_bind_text(st.p, n, f.strValue->c_str(), static_cast<int>(f.strValue->size()), SQLITE_TRANSIENT);
        ++n;
    }
    sqlite3_bind_int(st.p, sqlite3_bind_parameter_index(st.p, ":pending"), pSpool ? 1 : 0);
    if (pSpool) {
        sqlite3_bind_text(st.p, sqlite3_bind_parameter_index(st.p, ":target"), pSpool->strTarget.c_str(), -1,
                          SQLITE_TRANSIENT);
        sqlite3_bind_text(st.p, sqlite3_bind_parameter_index(st.p, ":owner"), pSpool->strOwner.c_str(), -1,
                          SQLITE_TRANSIENT);
    }
    // The write lock first, waiting out other stations: a statement that
    // read before it wrote could otherwise fail at once when another
    // station committed in between.
    if (!Exec("BEGIN IMMEDIATE", pErr))
        return false;
    return Finish(sqlite3_step(st.p) == SQLITE_DONE, "cannot write to records database", pErr);
}

bool CSqliteStore::Query(const SRecordFilter& filter, const std::function<void(const SRunRecord&)>& onRecord,
                         std::string* pErr)
{
    std::string strWhere = " WHERE 1";
    if (!filter.strSince.empty())
        strWhere += " AND started_at >= ?1";
    if (!filter.strUntil.empty())
        strWhere += filter.bUntilInclusive ? " AND started_at <= ?2" : " AND started_at < ?2";
    if (!filter.strResult.empty())
        strWhere += " AND result = ?3";
    std::string strColumns;
    if (!SelectList(&strColumns, pErr))
        return false;
    std::string strSql = "SELECT " + strColumns + " FROM runs" + strWhere;
    if (filter.nLimit > 0)
        strSql = "SELECT * FROM (" + strSql + " ORDER BY started_at DESC, id DESC LIMIT "
            + std::to_string(filter.nLimit) + ")";
    strSql += " ORDER BY started_at, id";
    CStmt st;
    if (sqlite3_prepare_v2(m_db, strSql.c_str(), -1, &st.p, nullptr) != SQLITE_OK) {
        *pErr = Error("cannot read records database");
        return false;
    }
    sqlite3_bind_text(st.p, 1, filter.strSince.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st.p, 2, filter.strUntil.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st.p, 3, filter.strResult.c_str(), -1, SQLITE_TRANSIENT);
    int rc;
    while ((rc = sqlite3_step(st.p)) == SQLITE_ROW)
        onRecord(ReadRow(st.p));
    if (rc != SQLITE_DONE) {
        *pErr = Error("cannot read records database");
        return false;
    }
    return true;
}

bool CSqliteStore::TakePending(const std::string& strTarget, int nMax, std::vector<SPending>* pOut,
                               std::string* pErr)
{
    pOut->clear();
    const std::string strSql = "SELECT " + ColumnList()
        + ",forward_mark FROM runs WHERE forward_mark IS NOT NULL AND forward_target = ?1 ORDER BY forward_mark LIMIT "
        + std::to_string(nMax);
    CStmt st;
    if (sqlite3_prepare_v2(m_db, strSql.c_str(), -1, &st.p, nullptr) != SQLITE_OK) {
        *pErr = Error("cannot read spool");
        return false;
    }
    sqlite3_bind_text(st.p, 1, strTarget.c_str(), -1, SQLITE_TRANSIENT);
    const int nMarkColumn = static_cast<int>(kRecordColumns);
    int rc;
    while ((rc = sqlite3_step(st.p)) == SQLITE_ROW)
        pOut->push_back({ReadRow(st.p), sqlite3_column_int64(st.p, nMarkColumn)});
    if (rc != SQLITE_DONE) {
        *pErr = Error("cannot read spool");
        return false;
    }
    return true;
}

bool CSqliteStore::MarkForwarded(const std::vector<SPending>& rows, std::string* pErr)
{
    CStmt st;
    if (!Exec("BEGIN IMMEDIATE", pErr))
        return false;
    bool bOk = sqlite3_prepare_v2(m_db, "UPDATE runs SET forward_mark=NULL WHERE id=?1 AND forward_mark=?2", -1,
                                  &st.p, nullptr)
        == SQLITE_OK;
    for (size_t i = 0; bOk && i < rows.size(); ++i) {
        sqlite3_reset(st.p);
        sqlite3_bind_text(st.p, 1, rows[i].rec.strId.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(st.p, 2, rows[i].nMark);
        bOk = sqlite3_step(st.p) == SQLITE_DONE;
    }
    return Finish(bOk, "cannot write spool", pErr);
}

bool CSqliteStore::CountPending(const std::string& strTarget, const std::string& strOwner, SPendingCounts* pCounts,
                               std::string* pErr)
{
    *pCounts = SPendingCounts();
    CStmt st;
    if (sqlite3_prepare_v2(m_db,
                           "SELECT COALESCE(forward_target,''), COALESCE(spooled_by,'') = ?2, COUNT(*) FROM runs"
                           " WHERE forward_mark IS NOT NULL GROUP BY 1, 2 ORDER BY 1",
                           -1, &st.p, nullptr)
        != SQLITE_OK) {
        *pErr = Error("cannot read spool");
        return false;
    }
    sqlite3_bind_text(st.p, 2, strOwner.c_str(), -1, SQLITE_TRANSIENT);
    int rc;
    while ((rc = sqlite3_step(st.p)) == SQLITE_ROW) {
        const std::string strRowTarget = reinterpret_cast<const char*>(sqlite3_column_text(st.p, 0));
        const int64_t n = sqlite3_column_int64(st.p, 2);
        if (strRowTarget == strTarget)
            (sqlite3_column_int(st.p, 1) ? pCounts->nMine : pCounts->nOthers) += n;
        else if (!pCounts->otherTargets.empty() && pCounts->otherTargets.back().first == strRowTarget)
            pCounts->otherTargets.back().second += n;
        else
            pCounts->otherTargets.emplace_back(strRowTarget, n);
    }
    if (rc != SQLITE_DONE) {
        *pErr = Error("cannot read spool");
        return false;
    }
    return true;
}

bool CSqliteStore::MoveTarget(const std::string& strFrom, const std::string& strTo, int64_t* pnMoved,
                              std::string* pErr)
{
    CStmt st;
    if (!Exec("BEGIN IMMEDIATE", pErr))
        return false;
    bool bOk = sqlite3_prepare_v2(m_db,
                                  "UPDATE runs SET forward_target=?2 WHERE forward_mark IS NOT NULL"
                                  " AND COALESCE(forward_target,'') = ?1",
                                  -1, &st.p, nullptr)
        == SQLITE_OK;
    if (bOk) {
        sqlite3_bind_text(st.p, 1, strFrom.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st.p, 2, strTo.c_str(), -1, SQLITE_TRANSIENT);
        bOk = sqlite3_step(st.p) == SQLITE_DONE;
        *pnMoved = sqlite3_changes(m_db);
    }
    return Finish(bOk, "cannot write spool", pErr);
}

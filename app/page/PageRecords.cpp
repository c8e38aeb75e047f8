#include "PageRecords.h"

#include "RecordFilter.h"
#include "RunRecord.h"

#include <sqlite3.h>

#include <cstdlib>
#include <functional>
#include <mutex>
#include <vector>
#include <ctime>

namespace {

// Readers of a WAL file never wait on its writer; this is for a writer
// that is checkpointing or changing the schema.
constexpr int kBusyMs = 1000;

std::string ColumnList()
{
    std::string s;
    for (const char* psz : RecordFieldNames())
        s += std::string(s.empty() ? "" : ",") + "\"" + psz + "\"";
    return s;
}

std::size_t VerifiedColumn()
{
    const auto& names = RecordFieldNames();
    for (std::size_t i = 0; i < names.size(); ++i)
        if (std::string(names[i]) == "verified") return i;
    return names.size();
}

// A read-only connection, opened before the page gives up opening files:
// a long-lived reader sees every commit, as each statement reads the latest.
struct SConnection
{
    sqlite3* db = nullptr;
    ~SConnection() { if (db) sqlite3_close_v2(db); }
};

// A statement on a connection taken from the pool, given back with it.
class CReader
{
public:
    CReader(std::function<void(SConnection*)> giveBack, SConnection* pConn)
        : m_giveBack(std::move(giveBack)), m_pConn(pConn) {}
    ~CReader()
    {
        sqlite3_finalize(m_st);
        if (m_pConn) m_giveBack(m_pConn);
    }

    bool Prepare(const std::string& strSql, std::string& strError)
    {
        if (!m_pConn) { strError = "the records are busy"; return false; }
        if (sqlite3_prepare_v2(m_pConn->db, strSql.c_str(), -1, &m_st, nullptr) != SQLITE_OK)
            return Fail("cannot read the records", strError);
        return true;
    }
    bool Fail(const std::string& strWhat, std::string& strError)
    {
        strError = strWhat + ": " + sqlite3_errmsg(m_pConn->db);
        return false;
    }
    sqlite3_stmt* St() { return m_st; }

    SRunRecord Row()
    {
        static const std::size_t nVerified = VerifiedColumn();
        return RecordFromValues([this](std::size_t i) -> std::optional<std::string> {
            const int n = static_cast<int>(i);
            if (sqlite3_column_type(m_st, n) == SQLITE_NULL) return std::nullopt;
            if (i == nVerified) return sqlite3_column_int(m_st, n) ? "true" : "false";
            const unsigned char* psz = sqlite3_column_text(m_st, n);
            return std::string(psz ? reinterpret_cast<const char*>(psz) : "");
        });
    }

private:
    std::function<void(SConnection*)> m_giveBack;
    SConnection* m_pConn;
    sqlite3_stmt* m_st = nullptr;
};

std::string NextDay(const std::string& strDay)
{
    std::tm tm{};
    tm.tm_year = std::atoi(strDay.substr(0, 4).c_str()) - 1900;
    tm.tm_mon = std::atoi(strDay.substr(5, 2).c_str()) - 1;
    tm.tm_mday = std::atoi(strDay.substr(8, 2).c_str()) + 1;
    std::time_t t = timegm(&tm);
    gmtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

// The stores keep started_at as 2026-03-01T12:34:56.789Z: a day is a
// range of text.
void BindDay(sqlite3_stmt* st, const std::string& strDay)
{
    sqlite3_bind_text(st, 1, (strDay + "T00:00:00.000Z").c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, (NextDay(strDay) + "T00:00:00.000Z").c_str(), -1, SQLITE_TRANSIENT);
}

class CCsvCursor : public ICsvCursor
{
public:
    explicit CCsvCursor(std::unique_ptr<CReader> reader) : m_pReader(std::move(reader)), m_reader(*m_pReader) {}

    bool Open(const std::string& strDay, std::string& strError)
    {
        if (!m_reader.Prepare(
                           "SELECT " + ColumnList() + " FROM runs WHERE started_at >= ?1 AND started_at < ?2"
                           " ORDER BY started_at, id", strError))
            return false;
        BindDay(m_reader.St(), strDay);
        // The first row read now, so that an unreadable store is told
        // before any byte of the answer.
        m_nStep = sqlite3_step(m_reader.St());
        if (m_nStep != SQLITE_ROW && m_nStep != SQLITE_DONE)
            return m_reader.Fail("cannot read the records", strError);
        return true;
    }

    bool Next(std::string& strOut, std::size_t nBytes) override
    {
        const std::size_t nBefore = strOut.size();
        nBytes += nBefore;
        if (!m_bHeader) {
            m_bHeader = true;
            strOut += RecordCsvHeader();
        }
        while (m_nStep == SQLITE_ROW && strOut.size() < nBytes) {
            strOut += RecordCsvRow(m_reader.Row());
            m_nStep = sqlite3_step(m_reader.St());
        }
        if (m_nStep != SQLITE_ROW && m_nStep != SQLITE_DONE && m_strError.empty())
            m_reader.Fail("cannot read the records", m_strError);
        return strOut.size() > nBefore;
    }
    std::string Error() const override { return m_strError; }

private:
    std::unique_ptr<CReader> m_pReader;
    CReader& m_reader;
    int m_nStep = SQLITE_DONE;
    bool m_bHeader = false;
    std::string m_strError;
};

class CSqliteRecords : public IRecordSource
{
public:
    explicit CSqliteRecords(const std::string& strPath) : m_strPath(strPath) {}

    bool Open(std::size_t nConnections, std::string& strError)
    {
        for (std::size_t i = 0; i < nConnections; ++i) {
            std::unique_ptr<SConnection> p(new SConnection);
            if (sqlite3_open_v2(m_strPath.c_str(), &p->db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
                strError = "cannot open the records " + m_strPath + ": " + (p->db ? sqlite3_errmsg(p->db) : "out of memory");
                return false;
            }
            sqlite3_busy_timeout(p->db, kBusyMs);
            // One read now opens the WAL and its index: later reads need
            // no file opened.
            if (sqlite3_exec(p->db, "SELECT COUNT(*) FROM runs WHERE 0", nullptr, nullptr, nullptr) != SQLITE_OK) {
                strError = "cannot read the records " + m_strPath + ": " + sqlite3_errmsg(p->db);
                return false;
            }
            m_free.push_back(p.get());
            m_all.push_back(std::move(p));
        }
        return true;
    }

    bool RecordsJson(const std::string& strSince, std::size_t nLimit, std::string& strOut,
                     std::string& strError) override
    {
        std::unique_ptr<CReader> r = Take();
        if (!r->Prepare("SELECT * FROM (SELECT " + ColumnList() + " FROM runs WHERE started_at >= ?1"
                        " ORDER BY started_at DESC, id DESC LIMIT ?2) ORDER BY started_at, id", strError))
            return false;
        // The stores compare times as text: in their own spelling
        // (2026-03-01T00:00:00.000Z), whatever the page sent.
        std::string strBound = strSince;
        bool bInclusive = true;
        if (!strSince.empty() && !ParseRecordsTime(strSince, false, &strBound, &bInclusive)) strBound = strSince;
        sqlite3_bind_text(r->St(), 1, strBound.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(r->St(), 2, static_cast<sqlite3_int64>(nLimit));
        strOut = "[";
        int rc;
        while ((rc = sqlite3_step(r->St())) == SQLITE_ROW) {
            SRunRecord rec = r->Row();
            std::string strLine = RecordJsonLine(rec);
            while (!strLine.empty() && (strLine.back() == '\n' || strLine.back() == '}')) strLine.pop_back();
            // Times carry no quote.
            strLine += ",\"start\":\"" + rec.strStartedAt + "\",\"end\":" +
                       (rec.strEndedAt ? "\"" + *rec.strEndedAt + "\"" : std::string("null")) + "}";
            strOut += (strOut.size() > 1 ? "," : "") + strLine;
        }
        if (rc != SQLITE_DONE) return r->Fail("cannot read the records", strError);
        strOut += "]";
        return true;
    }

    std::unique_ptr<ICsvCursor> DayCsv(const std::string& strDay, std::string& strError) override
    {
        std::unique_ptr<CCsvCursor> p(new CCsvCursor(Take()));
        if (!p->Open(strDay, strError)) return nullptr;
        return p;
    }

    bool DayCounts(const std::string& strDay, SRecordCounts& counts, std::string& strError) override
    {
        std::unique_ptr<CReader> r = Take();
        // The yield's rule (Yield.h) in SQL, so that a day of many records is
        // counted without reading them all.
        if (!r->Prepare("SELECT"
                        " COALESCE(SUM(result = 'completed' AND (verified IS NULL OR verified <> 0)), 0),"
                        " COALESCE(SUM(result = 'completed' AND verified = 0), 0),"
                        " COALESCE(SUM(result NOT IN ('completed', 'up-to-date', 'declined', 'running')), 0)"
                        " FROM runs WHERE started_at >= ?1 AND started_at < ?2", strError))
            return false;
        BindDay(r->St(), strDay);
        if (sqlite3_step(r->St()) != SQLITE_ROW) return r->Fail("cannot read the records", strError);
        counts.nCompleted = sqlite3_column_int64(r->St(), 0);
        counts.nNotVerified = sqlite3_column_int64(r->St(), 1);
        counts.nFailed = sqlite3_column_int64(r->St(), 2);
        return true;
    }

private:
    std::unique_ptr<CReader> Take()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        SConnection* p = nullptr;
        if (!m_free.empty()) {
            p = m_free.back();
            m_free.pop_back();
        }
        return std::unique_ptr<CReader>(new CReader([this](SConnection* q) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_free.push_back(q);
        }, p));
    }

    const std::string m_strPath;
    std::mutex m_lock;
    std::vector<std::unique_ptr<SConnection>> m_all;
    std::vector<SConnection*> m_free;
};

// A store that could not be opened: every question answers why.
class CUnreadableRecords : public IRecordSource
{
public:
    explicit CUnreadableRecords(const std::string& strError) : m_strError(strError) {}
    bool RecordsJson(const std::string&, std::size_t, std::string&, std::string& strError) override
    {
        strError = m_strError;
        return false;
    }
    std::unique_ptr<ICsvCursor> DayCsv(const std::string&, std::string& strError) override
    {
        strError = m_strError;
        return nullptr;
    }
    bool DayCounts(const std::string&, SRecordCounts&, std::string& strError) override
    {
        strError = m_strError;
        return false;
    }

private:
    const std::string m_strError;
};

} // namespace

std::unique_ptr<IRecordSource> OpenSqliteRecordSource(const std::string& strPath, std::size_t nConnections,
                                                      std::string* pError)
{
    std::unique_ptr<CSqliteRecords> p(new CSqliteRecords(strPath));
    std::string strError;
    if (!p->Open(nConnections, strError)) {
        if (pError) *pError = strError;
        return std::unique_ptr<IRecordSource>(new CUnreadableRecords(strError));
    }
    return p;
}

bool IsCalendarDay(const std::string& s)
{
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (s[i] < '0' || s[i] > '9') return false;
    // Round trip through the calendar: 2026-02-30 comes back as March.
    std::tm tm{};
    tm.tm_year = std::atoi(s.substr(0, 4).c_str()) - 1900;
    tm.tm_mon = std::atoi(s.substr(5, 2).c_str()) - 1;
    tm.tm_mday = std::atoi(s.substr(8, 2).c_str());
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1) return false;
    const int nMonth = tm.tm_mon, nDay = tm.tm_mday;
    std::time_t t = timegm(&tm);
    std::tm back{};
    gmtime_r(&t, &back);
    return back.tm_mon == nMonth && back.tm_mday == nDay;
}

// Records on a PostgreSQL server (libpq), for many stations sharing one
// database. One object is one connection: use it from one thread at a
// time. Every call is bounded: the session's statement and lock time-outs
// on the server, a deadline of our own on the client, and a stop (a file
// descriptor that becomes readable) that cancels what the server is doing.
#pragma once

#include "RecordFilter.h"
#include "RunRecord.h"

#include <functional>
#include <string>
#include <vector>

struct pg_conn;

// The session's limits: no statement runs longer, no lock is waited for
// longer. A server that answers nothing at all is given the statement's
// time and a margin, then left.
struct SServerLimits
{
    int nConnectTimeoutS = 5;
    int nStatementTimeoutMs = 5000;
    int nLockTimeoutMs = 1000;
    int nClientMarginMs = 3000;
};

class CPgStore
{
public:
    CPgStore() = default;
    ~CPgStore();
    CPgStore(const CPgStore&) = delete;
    CPgStore& operator=(const CPgStore&) = delete;

    void SetLimits(const SServerLimits& limits) { m_limits = limits; }
    // Readable means stop: the call under way is cancelled and fails.
    void SetStopFd(int fd) { m_fdStop = fd; }

    enum EConnect
    {
        kConnected,
        kUnreachable, // no server answered (or not in time): it may come back
        kRefused,     // a server answered and refused (credentials, no such database), or the URL is bad
    };
    EConnect Connect(const std::string& strUrl, std::string* pErr);
    bool Connected() const { return m_pConn != nullptr; }
    void Close();
    // The last call failed for want of an answer (a time-out, a lock held,
    // a lost connection, a stop) rather than a refusal.
    bool NoAnswer() const { return m_bNoAnswer; }

    // Creates the schema if absent, brings an older one up to date; refuses
    // a newer one.
    bool EnsureSchema(std::string* pErr);
    // Inserts or updates the records by id, all in one transaction. A
    // finished row is never set back to "running".
    bool PutBatch(const std::vector<SRunRecord>& recs, std::string* pErr);
    bool Query(const SRecordFilter& filter, const std::function<void(const SRunRecord&)>& onRecord,
               std::string* pErr);

private:
    struct SResult;
    // Waits for the socket (reading or writing) until the deadline or a stop.
    bool WaitSocket(bool bWrite, long long nDeadlineMs, std::string* pErr);
    // Sends what is queued and waits for the next result; nullptr at the end.
    bool NextResult(long long nDeadlineMs, struct pg_result** ppResult, std::string* pErr);
    // Runs a command (or several) and checks each result.
    bool Exec(const std::string& strSql, std::string* pErr);
    bool ExecParams(const std::string& strSql, const std::vector<const char*>& values, bool bPrepared,
                    const std::function<void(struct pg_result*)>& onRow, std::string* pErr);
    bool Failed(const std::string& strWhy, bool bNoAnswer, std::string* pErr);
    void Cancel();
    long long Deadline() const;
    std::string Error(const std::string& strWhat) const;

    pg_conn* m_pConn = nullptr;
    bool m_bPrepared = false;
    bool m_bNoAnswer = false;
    int m_fdStop = -1;
    SServerLimits m_limits;
};

// True while a call that nothing can interrupt is under way (a ping, a
// cancel request): a stop signal then ends the process at once.
bool PgInUninterruptibleCall();

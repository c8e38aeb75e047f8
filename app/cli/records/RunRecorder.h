// The records room: what the station and the single-unit path call. A
// unit's thread only queues (RunStarted, RunEnded); one writer thread puts
// the records into the store, each in its own committed transaction, and
// with a PostgreSQL target a forwarder thread sends the spool's rows on to
// the server. No fault of a store ever blocks or fails the caller.
#pragma once

#include "RunRecord.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class IRunRecorder
{
public:
    virtual ~IRunRecorder() = default;
    // The run has begun (its result "running"). Queues only.
    virtual void RunStarted(const SRunRecord& rec) = 0;
    // The same run, ended: the same id with its end. Queues only.
    virtual void RunEnded(const SRunRecord& rec) = 0;
};

struct SRecorderOptions
{
    // A file path (SQLite) or a postgresql:// URL.
    std::string strTarget;
    // The local spool in front of a server; "" for the default
    // (DefaultSpoolPath()).
    std::string strSpool;
    // How long an SQLite write waits for another station's lock.
    int nBusyTimeoutMs = 5000;
    // How long a connection to the server may take.
    int nConnectTimeoutS = 5;
    // At Close: how long failing writes and the forwarding of what is still
    // pending may go on.
    int nShutdownWaitMs = 3000;
    // The longest pause between two tries of a failing write or forward.
    int nMaxRetryMs = 2000;
};

struct SRecorderCounts
{
    int nSaved = 0;             // runs whose latest state is in the store (or the spool)
    int nUnsaved = 0;           // runs whose latest state is not (yet)
    int64_t nPendingForward = 0; // spool rows not yet on the server
};

// $XDG_STATE_HOME/zt9047q/spool.db, or ~/.local/state/zt9047q/spool.db.
std::string DefaultSpoolPath();

class CRunRecorder : public IRunRecorder
{
public:
    CRunRecorder();
    ~CRunRecorder() override;

    // Opens the store and proves it can be written, then starts the threads.
    // False with the reason when records cannot be kept: the caller then
    // updates nothing. With a server that cannot be reached at all the spool
    // is enough: true, with a warning in *pWarning.
    bool Open(const SRecorderOptions& options, std::string* pErr, std::string* pWarning);

    void RunStarted(const SRunRecord& rec) override;
    void RunEnded(const SRunRecord& rec) override;

    // Ends the threads (after at most the shutdown wait, beyond a connection
    // under way) and returns the runs whose latest state could not be saved,
    // as they were given.
    std::vector<SRunRecord> Close();

    SRecorderCounts Counts() const;
    // The last fault of a write or a forward, "" when none.
    std::string LastError() const;

private:
    struct SState;
    std::unique_ptr<SState> m_p;
};

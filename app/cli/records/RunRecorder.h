// The records room: what the station and the single-unit path call. A
// unit's thread only queues (RunStarted, RunEnded); one writer thread puts
// the records into the store, each in its own committed transaction. With
// a PostgreSQL target the store is the local spool, and zt9047q-forward, a
// process of its own, sends the spool's rows on to the server. No fault of
// a store ever blocks or fails the caller.
#pragma once

#include "RunRecord.h"
#include "SqliteStore.h"

#include <functional>
#include <cstdint>
#include <memory>
#include <string>
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
    // How long the forwarder's first report may take (its connection and
    // the server's schema); a server silent that long is taken as away.
    int nServerAnswerMs = 8000;
    // At Close: how long failing writes and the forwarding of what is still
    // pending may go on, all together.
    int nShutdownWaitMs = 3000;
    // zt9047q-forward; "" to look beside this program, then on PATH.
    std::string strForwarder;
    // Asked while waiting for the server at Open (true ends the wait, and
    // the open fails) and for the forwarder at Close (true stops it now).
    std::function<bool()> stopRequested;
    // The longest pause between two tries of a failing write or forward.
    int nMaxRetryMs = 2000;
};

struct SRecorderCounts
{
    int nSaved = 0;   // runs whose latest state is in the store (or the spool)
    int nUnsaved = 0; // runs whose latest state is not (yet)
    // The spool's rows not yet on the server, read from the spool itself
    // after the last commit and the forwarder's end (at Close; before it,
    // as last read). Unknown when the spool could not be read.
    bool bPendingKnown = true;
    SPendingCounts pending;
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

    // Ends the writer and the forwarder, within the shutdown wait (at once
    // for the forwarder with bHurry: a stop was asked), and returns the runs
    // whose latest state could not be saved, as they were given.
    std::vector<SRunRecord> Close(bool bHurry = false);

    // The spool (with a server target) or the store.
    std::string StorePath() const;
    // The spooled rows' target, without password ("" for an SQLite target).
    std::string SpoolTarget() const;

    SRecorderCounts Counts() const;
    // The last fault of a write or a forward, "" when none.
    std::string LastError() const;

private:
    struct SState;
    std::unique_ptr<SState> m_p;
};

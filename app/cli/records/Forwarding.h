// The station's side of forwarding a spool to a PostgreSQL server. The
// station never speaks to the server: it commits each record to its SQLite
// spool and starts zt9047q-forward, which sends the spool's rows of its
// target on. Between them: the forwarder's report lines on its standard
// output, and a nudge (a byte) on its standard input after each commit;
// standard input closed means "finish".
#pragma once

#include "RecordsExport.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>

// A postgresql:// (or postgres://) URL rather than an SQLite file.
bool IsServerTarget(const std::string& strTarget);
// The target as spooled rows name it and messages show it: the URL without
// its password (neither user:password@ nor a password= parameter).
std::string TargetWithoutPassword(const std::string& strUrl);
// zt9047q-forward beside this program (/proc/self/exe), else on PATH; ""
// when there is none.
std::string FindForwarder();

// zt9047q-flash --records postgresql://...: the forwarder prints them in
// this process's place (exec), with the same flags, messages under the
// name zt9047q-flash and the same exit statuses. Returns only when it
// cannot be started: 1, with a message.
int ExportServerRecords(const SRecordsExport& request, const std::string& strFormat);

// The environment variable that passes the server's URL (with its
// password) to the forwarder, out of the process list.
extern const char* const kForwardUrlVariable;

class CForwarderLink
{
public:
    CForwarderLink() = default;
    ~CForwarderLink();
    CForwarderLink(const CForwarderLink&) = delete;
    CForwarderLink& operator=(const CForwarderLink&) = delete;

    enum EStart
    {
        kReady,       // the server answered and its schema is there
        kUnreachable, // no server answered, or it did not answer in time: the spool holds the rows
        kRefused,     // a server answered and refused: records cannot be kept there
    };
    // Starts the forwarder for the spool and waits (up to nWaitMs, or until
    // stop() says so) for its first report. *pWhy: the reason of any but
    // kReady. False in *pbStarted when the program could not be started.
    EStart Start(const std::string& strExe, const std::string& strUrl, const std::string& strSpool,
                 int nWaitMs, const std::function<bool()>& stop, std::string* pWhy);
    bool Running() const { return m_pid > 0; }

    // Tells the forwarder that new rows are in the spool. Never blocks.
    void Nudge();

    // Lets the forwarder send what is left until the deadline or a stop
    // (at once with bHurry), then stops it: it never outlives the deadline
    // by more than a moment, and a forwarder that does not stop is killed.
    void Finish(std::chrono::steady_clock::time_point deadline, bool bHurry,
                const std::function<bool()>& stop = nullptr);

    // The forwarder's last fault, "" when none.
    std::string LastFault() const;

private:
    void ReadReports();
    bool ReadLine(int nWaitMs, const std::function<bool()>& stop, std::string* pLine);
    void Reap(int nWaitMs, const std::function<bool()>& stop = nullptr);

    pid_t m_pid = -1;
    int m_fdIn = -1;  // the forwarder's standard input
    int m_fdOut = -1; // its report lines
    std::string m_strPartial;
    bool m_bEnded = false;
    std::thread m_reader;
    mutable std::mutex m_lock;
    std::string m_strFault;
};

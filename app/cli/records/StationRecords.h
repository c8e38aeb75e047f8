// The records as zt9047q-flash uses them: --record TARGET [--spool FILE]
// keeps every run (single unit and station alike) through the run log that
// each run tells of its start and its end.
#pragma once

#include "../UnitRun.h"
#include "RunRecorder.h"

#include <map>
#include <mutex>
#include <string>

// What every record of this program carries besides the run's own figures.
struct SRecordStamp
{
    std::string strHost;
    std::string strUser;
    std::string strToolVersion;
    std::string strPackagedVersion; // "2.20"
    std::string strImageSha256;
};

// This station, this program, and the image it carries.
SRecordStamp ProgramStamp(const std::string& strToolVersion);

// The record of a run from what the run knows of itself. Without an end:
// the record written when it starts.
SRunRecord RecordOfRun(const SRecordStamp& stamp, const SUnitTarget& target, const SRunEnd* pEnd);

// The run log in front of a recorder: builds the records and queues them.
class CRecordsRunLog : public IRunLog
{
public:
    CRecordsRunLog(IRunRecorder& recorder, const SRecordStamp& stamp) : m_recorder(recorder), m_stamp(stamp) {}

    std::string RunStarted(const SUnitTarget& target) override;
    void RunEnded(const std::string& strRunId, const SUnitTarget& target, const SRunEnd& end) override;

private:
    IRunRecorder& m_recorder;
    const SRecordStamp m_stamp;
    std::mutex m_lock;
    std::map<std::string, std::string> m_startedAt; // by id, until the run ends
};

// ", all on the server" or how many rows the spool still holds, and whose.
std::string PendingSummary(const SRecorderCounts& counts);

// --record for the length of the program: opened before any unit is
// touched, closed after the last run has ended.
class CRecordsSession
{
public:
    // False with the reason when records cannot be kept (nothing may then
    // be updated); a warning (a server not answering yet) in *pWarning.
    bool Open(const std::string& strTarget, const std::string& strSpool, const std::string& strToolVersion,
              std::string* pError, std::string* pWarning);
    IRunLog* Log() { return m_pLog.get(); }

    // Ends the writing (and the forwarding: at once with bHurry, when a
    // stop was asked). *pLines: the JSON line of each run whose latest
    // record could not be saved, then one line that sums the records up.
    // False when any record was not saved.
    bool Close(std::string* pLines, bool bHurry = false);

private:
    CRunRecorder m_recorder;
    std::unique_ptr<CRecordsRunLog> m_pLog;
    bool m_bServer = false;
    bool m_bOpen = false;
};

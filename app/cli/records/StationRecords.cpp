#include "StationRecords.h"

#include "Forwarding.h"
#include "../StopSignals.h"
#include "Sha256.h"
#include "update/Resources.h"
#include "update/TextFormat.h"
#include "update/Version.h"

SRecordStamp ProgramStamp(const std::string& strToolVersion)
{
    SRecordStamp stamp;
    stamp.strHost = StationHostName();
    stamp.strUser = StationUserName();
    stamp.strToolVersion = strToolVersion;
    stamp.strPackagedVersion = FormatFixed2(kPackagedVersion);
    // The image as the program carries it (the hex text the logic reads).
    const char* pData = nullptr;
    uint32_t nSize = 0;
    if (ProgramResources().Find(kFirmwareResourceType, kFirmwareResourceId, &pData, &nSize))
        stamp.strImageSha256 = Sha256Hex(pData, nSize);
    return stamp;
}

SRunRecord RecordOfRun(const SRecordStamp& stamp, const SUnitTarget& target, const SRunEnd* pEnd)
{
    SRunRecord rec;
    rec.strHost = stamp.strHost;
    rec.strUser = stamp.strUser;
    rec.strToolVersion = stamp.strToolVersion;
    rec.strPackagedVersion = stamp.strPackagedVersion;
    rec.strImageSha256 = stamp.strImageSha256;
    rec.strPort = target.strPort;
    if (!target.strSlot.empty())
        rec.strSlot = target.strSlot;
    if (!target.strUsbPath.empty())
        rec.strUsbPath = target.strUsbPath;
    if (!target.strUsbSerial.empty())
        rec.strUsbSerial = target.strUsbSerial;
    if (!pEnd)
        return rec;
    const SRunEnd& end = *pEnd;
    if (end.bUnitVersionKnown && JsonVersion(true, end.fUnitVersion) != "null")
        rec.strUnitVersion = VersionInHundredths(end.fUnitVersion);
    rec.strResult = RunResultName(end);
    rec.strText = end.strText;
    rec.nBytes = end.nBytes;
    rec.nFrames = end.nFrames;
    rec.nElapsedMs = end.nElapsedMs;
    if (end.bVerifyAsked) {
        rec.bVerified = end.bVerified;
        if (end.bVersionAfterKnown && JsonVersion(true, end.fVersionAfter) != "null")
            rec.strVersionAfter = VersionInHundredths(end.fVersionAfter);
    }
    if (!end.strReason.empty())
        rec.strReason = end.strReason;
    if (!end.strHint.empty())
        rec.strHint = end.strHint;
    return rec;
}

std::string CRecordsRunLog::RunStarted(const SUnitTarget& target)
{
    SRunRecord rec = RecordOfRun(m_stamp, target, nullptr);
    rec.strId = NewRecordId();
    rec.strStartedAt = UtcNowIso8601Ms();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_startedAt[rec.strId] = rec.strStartedAt;
    }
    m_recorder.RunStarted(rec);
    return rec.strId;
}

void CRecordsRunLog::RunEnded(const std::string& strRunId, const SUnitTarget& target, const SRunEnd& end)
{
    SRunRecord rec = RecordOfRun(m_stamp, target, &end);
    rec.strId = strRunId;
    rec.strEndedAt = UtcNowIso8601Ms();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_startedAt.find(strRunId);
        rec.strStartedAt = it != m_startedAt.end() ? it->second : *rec.strEndedAt;
        if (it != m_startedAt.end())
            m_startedAt.erase(it);
    }
    m_recorder.RunEnded(rec);
}

bool CRecordsSession::Open(const std::string& strTarget, const std::string& strSpool,
                           const std::string& strToolVersion, std::string* pError, std::string* pWarning)
{
    SRecorderOptions options;
    options.strTarget = strTarget;
    options.strSpool = strSpool;
    options.stopRequested = [] { return CStopSignals::EverRequested(); };
    if (!m_recorder.Open(options, pError, pWarning))
        return false;
    // One warning a line, each under the program's name as the first is.
    for (size_t n = 0; (n = pWarning->find('\n', n)) != std::string::npos; n += 1)
        pWarning->insert(n + 1, "zt9047q-flash: ");
    m_bServer = IsServerTarget(strTarget);
    m_pLog.reset(new CRecordsRunLog(m_recorder, ProgramStamp(strToolVersion)));
    m_bOpen = true;
    return true;
}

namespace {

std::string Rows(int64_t n)
{
    return std::to_string(n) + (n == 1 ? " row" : " rows");
}

} // namespace

std::string PendingSummary(const SRecorderCounts& counts)
{
    const SPendingCounts& p = counts.pending;
    if (!counts.bPendingKnown)
        return ", the spool could not be read to count what is still to be sent";
    std::string s;
    if (p.Total() == 0) {
        s = ", all on the server";
    } else {
        s = ", " + std::to_string(p.Total()) + " still to be sent to the server";
        if (p.nOthers)
            s += " (" + std::to_string(p.nMine) + " of this station's, " + std::to_string(p.nOthers) + " of others')";
        s += " (kept in the spool; the next run with this spool sends them)";
    }
    if (const int64_t nElsewhere = p.OtherTargetsTotal())
        s += "; the spool also holds " + Rows(nElsewhere) + " for other servers";
    return s;
}

bool CRecordsSession::Close(std::string* pLines, bool bHurry)
{
    if (!m_bOpen)
        return true;
    m_bOpen = false;
    std::vector<SRunRecord> unsaved = m_recorder.Close(bHurry);
    for (const SRunRecord& rec : unsaved)
        *pLines += RecordJsonLine(RecordForStore(rec));
    SRecorderCounts counts = m_recorder.Counts();
    const int nUnsaved = static_cast<int>(unsaved.size());
    const int nSaved = counts.nSaved;
    std::string s = "Records: " + std::to_string(nSaved) + (nSaved == 1 ? " run" : " runs") + " saved";
    if (nUnsaved)
        s += ", " + std::to_string(nUnsaved) + " NOT saved (" + (nUnsaved == 1 ? "its record is" : "their records are")
            + " above as JSON lines)";
    const bool bPending = m_bServer && (!counts.bPendingKnown || counts.pending.Total());
    if (m_bServer)
        s += PendingSummary(counts);
    s += ".";
    std::string strError = m_recorder.LastError();
    if ((nUnsaved || bPending) && !strError.empty())
        s += " Last fault: " + strError;
    *pLines += s + "\n";
    return nUnsaved == 0;
}

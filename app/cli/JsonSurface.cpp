#include "JsonSurface.h"

#include "update/TextFormat.h"

#include <cmath>

const char* RunEndName(ERunEnd eEnd)
{
    switch (eEnd) {
    case kEndCompleted: return "completed";
    case kEndNotFound: return "not-found";
    case kEndOpenFailed: return "open-failed";
    case kEndNoResponse: return "no-response";
    case kEndRefused: return "refused";
    case kEndDeclined: return "declined";
    case kEndStoppedResponding: return "stopped-responding";
    case kEndBootloaderSilent: return "bootloader-silent";
    case kEndRejects: return "rejects";
    case kEndSilence: return "silence";
    case kEndDamagedImage: return "damaged-image";
    case kEndInterrupted: return "interrupted";
    case kEndNone: break;
    }
    return "interrupted"; // a run that never ended was cut short
}

const char* RunResultName(const SRunEnd& end)
{
    return end.bUpToDate ? "up-to-date" : RunEndName(end.eResult);
}

std::string VersionInHundredths(float fVersion)
{
    // The number as the unit wrote it (the fewest decimals that read back as
    // the same value: 2.1, not 2.0999999), cut after the hundredths as the
    // version rule cuts it: 2.209 is the 2.20 it is taken for, never 2.21.
    double dValue = static_cast<double>(fVersion);
    char sz[64];
    if (!std::isfinite(dValue) || std::fabs(dValue) > 1e15) {
        std::snprintf(sz, sizeof sz, "%.2f", dValue);
        return sz;
    }
    std::string s;
    for (int nDecimals = 2; nDecimals <= 12; ++nDecimals) {
        std::snprintf(sz, sizeof sz, "%.*f", nDecimals, dValue);
        s = sz;
        for (char& c : s) {
            if (c == ',')
                c = '.'; // whatever the locale
        }
        float fBack = 0.0f;
        if (ScanFloat(s.c_str(), &fBack) && fBack == fVersion)
            break;
    }
    size_t nPoint = s.find('.');
    if (nPoint != std::string::npos)
        s.resize(nPoint + 3);
    if (s == "-0.00")
        s = "0.00";
    return s;
}

std::string JsonVersion(bool bKnown, float fVersion)
{
    if (!bKnown || !std::isfinite(fVersion))
        return "null";
    return VersionInHundredths(fVersion);
}

namespace {

std::string StringOrNull(const std::string& s)
{
    return s.empty() ? "null" : JsonString(s);
}

} // namespace

CJsonSurface::CJsonSurface(FILE* pOut, const std::string& strPort, CTerminalSurface& inner)
    : m_pOut(pOut), m_strPort(strPort), m_inner(inner)
{
    SetIdentity("", "", "");
    m_inner.m_onAnswered = [this](const std::string& strText, unsigned nType, int nAnswer) {
        const char* pszAnswer = nAnswer == kAnswerYes ? "yes" : nAnswer == kAnswerNo ? "no" : "ok";
        Emit("message", ",\"type\":" + std::to_string(nType) + ",\"text\":" + JsonString(strText)
                            + ",\"answer\":\"" + pszAnswer + "\"");
    };
}

void CJsonSurface::SetIdentity(const std::string& strUsbPath, const std::string& strUsbSerial,
                               const std::string& strSlot)
{
    m_strIdentity = ",\"usb_path\":" + StringOrNull(strUsbPath) + ",\"usb_serial\":" + StringOrNull(strUsbSerial)
        + ",\"slot\":" + StringOrNull(strSlot);
}

void CJsonSurface::Emit(const std::string& strEvent, const std::string& strFields, const std::string& strAfterIdentity)
{
    std::string strLine = "{\"event\":\"" + strEvent + "\",\"port\":" + JsonString(m_strPort) + strFields + m_strIdentity
        + strAfterIdentity + "}\n";
    if (m_writeLine) {
        m_writeLine(strLine);
        return;
    }
    std::fputs(strLine.c_str(), m_pOut);
    std::fflush(m_pOut);
}

void CJsonSurface::EmitProgress(int nPercent)
{
    m_nLastPercent = nPercent;
    int nBytes = m_pDlg ? m_pDlg->m_nBytesSent : 0;
    int nFrames = m_pDlg ? m_pDlg->m_nFramesSent : 0;
    Emit("progress", ",\"percent\":" + std::to_string(nPercent) + ",\"bytes\":" + std::to_string(nBytes)
                         + ",\"frames\":" + std::to_string(nFrames));
}

void CJsonSurface::SetComNumber(int nCom)
{
    // Detection names the port here; "not found" puts a stand-in 1 here.
    if (m_strPort.empty() && !(m_pDlg && m_pDlg->LastEnd() == kEndNotFound))
        m_strPort = "COM" + std::to_string(nCom);
    m_inner.SetComNumber(nCom);
}

void CJsonSurface::SetStatusText(const std::string& strText)
{
    // Once the unit has reported its version, the status events carry it
    // too (last, after the identity), so a watcher need not wait for the end.
    std::string strVersion;
    if (m_pDlg && m_pDlg->UnitVersionKnown() && JsonVersion(true, m_pDlg->UnitVersion()) != "null")
        strVersion = ",\"unit_version\":" + JsonVersion(true, m_pDlg->UnitVersion());
    Emit("status", ",\"text\":" + JsonString(strText), strVersion);
    m_inner.SetStatusText(strText);
}

void CJsonSurface::SetProgress(int nPos)
{
    // The reset after the end brings the bar back to 0; that is no progress.
    if (!m_bEnded && nPos != m_nLastPercent && !(m_pDlg && m_pDlg->LastEnd() != kEndNone))
        EmitProgress(nPos);
    m_inner.SetProgress(nPos);
}

int CJsonSurface::ShowMessage(const std::string& strText, unsigned nType)
{
    if (m_pDlg && m_pDlg->LastEnd() == kEndCompleted && m_nLastPercent != 100)
        EmitProgress(100);
    return m_inner.ShowMessage(strText, nType);
}

void CJsonSurface::EmitEnd(const SRunEnd& end)
{
    if (m_bEnded)
        return;
    m_bEnded = true;
    std::string strFields = ",\"result\":\"" + std::string(RunResultName(end)) + "\",\"text\":" + JsonString(end.strText)
        + ",\"bytes\":" + std::to_string(end.nBytes) + ",\"frames\":" + std::to_string(end.nFrames)
        + ",\"elapsed_ms\":" + std::to_string(end.nElapsedMs)
        + ",\"unit_version\":" + JsonVersion(end.bUnitVersionKnown, end.fUnitVersion);
    if (end.bVerifyAsked)
        strFields += std::string(",\"verified\":") + (end.bVerified ? "true" : "false")
            + ",\"version_after\":" + JsonVersion(end.bVersionAfterKnown, end.fVersionAfter);
    // New fields come after the identity, so that the old ones keep their places.
    Emit("end", strFields, ",\"reason\":" + JsonString(end.strReason) + ",\"hint\":" + JsonString(end.strHint));
}

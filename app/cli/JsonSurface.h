// --json: the run as JSON Lines on standard output, one object per line,
// flushed per line, while the human surface it forwards to keeps writing on
// standard error. Every object carries "event" and "port":
//   status    {"text"}                       each status text; once the unit has
//             reported its version also "unit_version", after the identity
//   progress  {"percent","bytes","frames"}   each change of the percentage, 100 at completion
//   message   {"type","text","answer"}       each message box, once answered
//   end       {"result","text","bytes","frames","elapsed_ms","unit_version"}  last, exactly once;
//             with --verify also {"verified","version_after"}
// and every object ends with the unit's identity: "usb_path", "usb_serial"
// and "slot", each a string or null; the end event then adds "reason" (a
// stable code, see EndReason.h) and "hint" (what the operator should do now).
// Texts are escaped so that every line is valid JSON and plain ASCII: quote,
// backslash and control characters (\r, \n, \t as such, others as \u00XX);
// a well-formed UTF-8 sequence as its code point (\u00e9 for "é", a pair of
// surrogate escapes above U+FFFF); every other byte from 0x80 on, which is no
// UTF-8, as \u00XX of its Latin-1 value. Versions are written to the
// hundredth, cut as the version rule cuts them (2.209 is 2.20, as verified).
#pragma once

#include "JsonText.h"
#include "TerminalSurface.h"
#include "update/UpdateDlgDlg.h"

#include <cstdio>
#include <functional>
#include <string>

// The result names of the end event, one for each end of a run.
const char* RunEndName(ERunEnd eEnd);

struct SRunEnd
{
    ERunEnd eResult = kEndNone;
    std::string strText;
    int nBytes = 0;
    int nFrames = 0;
    uint32_t nElapsedMs = 0;
    bool bUnitVersionKnown = false;
    float fUnitVersion = 0.0f;
    // Left alone: the unit already runs the packaged version (watching only).
    bool bUpToDate = false;
    // --verify: the unit's console after the update, and whether it reports
    // the packaged version.
    bool bVerifyAsked = false;
    bool bVerified = false;
    bool bVersionAfterKnown = false;
    float fVersionAfter = 0.0f;
    // Why the run ended, as a stable code ("unplugged", "declined", ...),
    // and what the operator should do now: one sentence. Empty until the
    // run has ended.
    std::string strReason;
    std::string strHint;
};

// The "result" of an end: the logic's end, or "up-to-date".
const char* RunResultName(const SRunEnd& end);
// The version as the end event writes it: "2.10", or "null".
std::string JsonVersion(bool bKnown, float fVersion);
// The version as the unit wrote it, cut after the hundredths: "2.20" for
// 2.209 (which the version rule takes for 2.20), "2.10" for 2.1.
std::string VersionInHundredths(float fVersion);

class CJsonSurface : public IWindowSurface
{
public:
    // Takes over the inner surface's answered hook for the message events.
    CJsonSurface(FILE* pOut, const std::string& strPort, CTerminalSurface& inner);

    void SetStatusText(const std::string& strText) override;
    void SetProgress(int nPos) override;
    void RepaintNow() override { m_inner.RepaintNow(); }
    int ShowMessage(const std::string& strText, unsigned nType) override;
    void EnableDownload(bool bEnable) override { m_inner.EnableDownload(bEnable); }
    int GetComNumber() override { return m_inner.GetComNumber(); }
    void SetComNumber(int nCom) override;

    void WatchRun(const CUpdateDlgDlg* pDlg) { m_pDlg = pDlg; }
    // The port once detection has named it ("" before).
    void SetPort(const std::string& strPort) { m_strPort = strPort; }
    // The unit's USB location, serial number and slot ("" for unknown).
    void SetIdentity(const std::string& strUsbPath, const std::string& strUsbSerial, const std::string& strSlot);
    void EmitEnd(const SRunEnd& end);

    // Where whole lines go instead of the stream (several units share one).
    std::function<void(const std::string& strLine)> m_writeLine;

private:
    void Emit(const std::string& strEvent, const std::string& strFields, const std::string& strAfterIdentity = "");
    void EmitProgress(int nPercent);

    FILE* m_pOut;
    std::string m_strPort;
    std::string m_strIdentity; // the fields that end every object
    CTerminalSurface& m_inner;
    const CUpdateDlgDlg* m_pDlg = nullptr;
    int m_nLastPercent = -1;
    bool m_bEnded = false;
};

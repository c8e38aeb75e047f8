#include "UnitRun.h"

#include "EndReason.h"
#include "PortList.h"
#include "UnitVerify.h"
#include "serial/ComNames.h"
#include "serial/NetPort.h"
#include "serial/SameDevice.h"
#include "station/Bench.h"
#include "update/TextFormat.h"
#include "update/Version.h"

#include <atomic>

namespace {

// Opens one given device path (or network port) whatever COM name the
// logic forms.
class CFixedPathDriver : public ICommDriver
{
public:
    CFixedPathDriver(const std::string& strPath, ICommDriver& inner) : m_strPath(strPath), m_inner(inner) {}
    ICommHandle* OpenDevice(const char*) override { return m_inner.OpenDevice(m_strPath.c_str()); }
    ICommHandle* OpenDeviceReporting(const char*, SOpenError* pError) override
    {
        return m_inner.OpenDeviceReporting(m_strPath.c_str(), pError);
    }

private:
    std::string m_strPath;
    ICommDriver& m_inner;
};

// Notes when a port the run opened went away under it (its handle says so
// on a read or write, or when it closes), for the end's reason.
class CLossWatchDriver : public ICommDriver
{
public:
    CLossWatchDriver(ICommDriver& inner, bool& bLost) : m_inner(inner), m_bLost(bLost) {}
    ICommHandle* OpenDevice(const char* pszName) override { return Watched(m_inner.OpenDevice(pszName)); }
    ICommHandle* OpenDeviceReporting(const char* pszName, SOpenError* pError) override
    {
        return Watched(m_inner.OpenDeviceReporting(pszName, pError));
    }

private:
    class CHandle : public CForwardingHandle
    {
    public:
        CHandle(ICommHandle* pInner, bool& bLost) : CForwardingHandle(pInner), m_bLost(bLost) {}
        ~CHandle() override { Look(); }
        bool ReadBytes(void* pBuffer, uint32_t nCount, uint32_t* pnRead) override
        {
            bool bOk = CForwardingHandle::ReadBytes(pBuffer, nCount, pnRead);
            Look();
            return bOk;
        }
        bool WriteBytes(const void* pBuffer, uint32_t nCount, uint32_t* pnWritten) override
        {
            bool bOk = CForwardingHandle::WriteBytes(pBuffer, nCount, pnWritten);
            Look();
            return bOk;
        }

    private:
        void Look()
        {
            if (m_pInner->LineLost())
                m_bLost = true;
        }
        bool& m_bLost;
    };

    ICommHandle* Watched(ICommHandle* p) { return p ? new CHandle(p, m_bLost) : nullptr; }

    ICommDriver& m_inner;
    bool& m_bLost;
};

std::string Seconds(uint32_t nMs)
{
    char sz[32];
    std::snprintf(sz, sizeof sz, "%.1f s", nMs / 1000.0);
    return sz;
}

} // namespace

std::string UnitName(const std::string& strSlot, const std::string& strPort)
{
    return strSlot.empty() ? strPort : strSlot + " (" + strPort + ")";
}

void STickFigures::Tick(uint32_t nLate, uint32_t nSpent, uint32_t nPeriod, bool bSlipped)
{
    if (bSlipped) {
        ++nSlips;
        nSlipMs += nLate;
    }
    ++nTicks;
    nLateMs += nLate;
    nLateMaxMs = nLate > nLateMaxMs ? nLate : nLateMaxMs;
    ++nLateAt[nLate < static_cast<uint32_t>(kSpread) ? nLate : kSpread];
    if (nSpent > nPeriod) {
        ++nLongTicks;
        nLongMs += nSpent - nPeriod;
    }
}

uint32_t STickFigures::LateP99() const
{
    int nWithin = 0;
    for (int i = 0; i <= kSpread; ++i) {
        nWithin += nLateAt[i];
        if (nWithin * 100 >= nTicks * 99)
            return i < kSpread ? static_cast<uint32_t>(i) : nLateMaxMs;
    }
    return nLateMaxMs;
}

std::string STickFigures::Text() const
{
    char sz[320];
    std::snprintf(sz, sizeof sz,
                  "Timing: handshake %u ms, stream %u ms in %d ticks; ticks late by %u ms in all (p99 %u ms, max %u ms); "
                  "%d ticks longer than the period by %u ms in all; the schedule began anew %d times, %u ms later in "
                  "all.",
                  nHandshakeMs, nStreamMs, nTicks, nLateMs, LateP99(), nLateMaxMs, nLongTicks, nLongMs, nSlips, nSlipMs);
    return sz;
}

void FillUsbIdentity(std::vector<SUnitTarget>& targets, IPortSource* pSource, const CSlotMap* pSlots)
{
    if (targets.empty())
        return;
    CEnumSerialPorts ports(pSource);
    CSerInfoArray list;
    try {
        ports.EnumerateAll(list, 0);
    } catch (const std::string&) {
        return; // an unreadable listing knows no identity; the run says so itself
    }
    for (SUnitTarget& target : targets) {
        for (int i = 0; i < list.GetSize(); ++i) {
            const SSerInfo& info = list[i];
#ifdef _WIN32
            bool bSame = target.strFixedPath.empty() && ParseComName(PortComName(info)) == target.nCom;
#else
            std::string strDevice =
                target.strFixedPath.empty() ? ComNumberToDevicePath(target.nCom) : target.strFixedPath;
            bool bSame = !strDevice.empty() && SameDevice(info.strPath, strDevice);
#endif
            if (bSame) {
                target.strUsbPath = info.strUsbPath;
                target.strUsbSerial = info.strUsbSerial;
                break;
            }
        }
        if (pSlots && !target.strUsbPath.empty())
            target.strSlot = pSlots->NameOf(target.strUsbPath);
    }
}

CUnitRun::CUnitRun(const SUnitTarget& target, const SUnitOptions& options, IClock& clock,
                   std::function<bool()> stopRequested, IPortSource* pPortSource, ICommDriver* pDriver,
                   IResourceSource* pResources)
    : m_target(target),
      m_options(options),
      m_baseClock(clock),
      m_clock(clock, [this] { return ClockStopped(); }),
      m_stopRequested(stopRequested),
      m_human(options.pHuman, options.terminal, clock),
      m_pPortSource(pPortSource)
{
    ICommDriver* pOpen = pDriver;
    if (!target.strFixedPath.empty()) {
        m_pPathDriver.reset(new CFixedPathDriver(target.strFixedPath, pDriver ? *pDriver : NetAwareCommDriver()));
        pOpen = m_pPathDriver.get();
    }
    m_pLossWatch.reset(new CLossWatchDriver(pOpen ? *pOpen : PlatformCommDriver(), m_bLineLost));
    pOpen = m_pLossWatch.get();
    m_pOpenDriver = pOpen;
    m_human.m_writeLines = options.writeHuman;
    m_human.m_writeText = options.writeText;
    IWindowSurface* pSurface = &m_human;
    if (options.bJson) {
        m_pJson.reset(new CJsonSurface(options.pJson, target.strPort, m_human));
        m_pJson->m_writeLine = options.writeJson;
        m_pJson->SetIdentity(target.strUsbPath, target.strUsbSerial, target.strSlot);
        pSurface = m_pJson.get();
    }
    m_pDlg.reset(new CUpdateDlgDlg(*pSurface, m_clock, pOpen, pPortSource, pResources));
    m_pDlg->WaitForAnswersInSlices(true);
    m_human.WatchRun(m_pDlg.get());
    m_human.m_stopRequested = stopRequested;
    if (m_pJson)
        m_pJson->WatchRun(m_pDlg.get());
    if (!target.strFixedPath.empty())
        m_human.NamePortAs(target.nCom, IsNetPortName(target.strFixedPath) ? target.strPort : target.strFixedPath);
    m_nStart = m_baseClock.GetTickCount();
}

CUnitRun::~CUnitRun()
{
}

bool CUnitRun::FindPort()
{
    m_pDlg->OnInitDialog();
    if (m_pDlg->LastEnd() == kEndNotFound) {
        if (!m_options.terminal.bQuiet) {
            m_human.Say("Serial ports seen:");
            std::string strList = PortListText(m_pPortSource);
            for (size_t p = 0, q; p < strList.size(); p = q + 1) {
                q = strList.find('\n', p);
                m_human.Say("  " + strList.substr(p, q - p));
            }
        }
        return false;
    }
    m_target.nCom = m_human.GetComNumber();
    m_target.strPort = "COM" + std::to_string(m_target.nCom);
    std::vector<SUnitTarget> found = {m_target};
    FillUsbIdentity(found, m_pPortSource, m_options.pSlots);
    m_target = found.front();
    if (m_pJson) {
        m_pJson->SetPort(m_target.strPort);
        m_pJson->SetIdentity(m_target.strUsbPath, m_target.strUsbSerial, m_target.strSlot);
    }
    return true;
}

bool CUnitRun::Start()
{
    if (m_target.nCom >= 0) {
        m_human.SetComNumber(m_target.nCom);
    }
#ifdef _WIN32
    // The COM name is the device's own name there.
    std::string strDevice = m_target.strFixedPath;
#else
    std::string strDevice = m_target.strFixedPath.empty() ? ComNumberToDevicePath(m_target.nCom) : m_target.strFixedPath;
#endif
    // A network port's URL may hold a password: texts name it as the port.
    if (IsNetPortName(strDevice))
        strDevice = m_target.strPort;
    m_human.Note("Port: " + m_target.strPort + (strDevice.empty() || strDevice == m_target.strPort ? "" : " (" + strDevice + ")"));
    m_nStart = m_baseClock.GetTickCount();
    m_bStarted = true;
    LogStart();
    m_clock.Arm(true);
    m_bInHandshake = true;
    {
        CNetOpenCancel cancel([this] { return m_clock.Cancelled(); });
        m_pDlg->OnDownload();
    }
    m_bInHandshake = false;
    m_clock.Arm(false);
    if (m_pDlg->LastEnd() == kEndOpenFailed && m_pDlg->m_pPort) {
        m_openError = m_pDlg->m_pPort->LastOpenError();
        m_human.Say(OpenFailureText(strDevice.empty() ? m_target.strPort : strDevice, m_openError));
    }
    m_bStreamBegan = Running();
    m_nNextTick = m_baseClock.GetTickCount();
    m_ticks.nHandshakeMs = TicksElapsed(m_nStart, m_nNextTick);
    return m_bStreamBegan;
}

bool CUnitRun::Running() const
{
    return m_pDlg->m_nTransferState != 0;
}

uint32_t CUnitRun::NextTickIn()
{
    int32_t nWait = static_cast<int32_t>(m_nNextTick - m_baseClock.GetTickCount());
    return nWait > 0 ? static_cast<uint32_t>(nWait) : 0;
}

bool CUnitRun::Step()
{
    if (!Running())
        return false;
    // The window's 10 ms timer: a tick that ran long is followed by the
    // next at once, and ticks never pile up. As the window's, the timer keeps
    // its own schedule, due every 10 ms from its start and not from when a
    // tick began: a tick that came late, or one that waited long for its
    // frame's answer, does not put off every later tick; only when a whole
    // period has been missed does the schedule begin anew from now.
    uint32_t nNow = m_baseClock.GetTickCount();
    if (static_cast<int32_t>(m_nNextTick - nNow) > 0)
        return true;
    const uint32_t nLate = nNow - m_nNextTick;
    m_nNextTick += CUpdateDlgDlg::kTimerPeriodMs;
    const bool bSlipped = static_cast<int32_t>(m_nNextTick - nNow) <= 0;
    if (bSlipped)
        m_nNextTick = nNow + CUpdateDlgDlg::kTimerPeriodMs;
    m_bInTick = true;
    m_clock.Arm(true);
    m_pDlg->OnTimer(CUpdateDlgDlg::kTimerId);
    m_clock.Arm(false);
    m_bInTick = false;
    const uint32_t nAfter = m_baseClock.GetTickCount();
    m_ticks.Tick(nLate, TicksElapsed(nNow, nAfter), CUpdateDlgDlg::kTimerPeriodMs, bSlipped);
    if (!Running())
        m_ticks.nStreamMs = TicksElapsed(m_nStart, nAfter) - m_ticks.nHandshakeMs;
    return Running();
}

void CUnitRun::RequestClose()
{
    if (m_pDlg->m_nTransferState != 1)
        return;
    if (m_human.QuestionOpen()) {
        Answer(kAnswerYes, false);
        return;
    }
    // The window's close guard, answered later: the logic asks and goes on
    // (the surface says No for now); a Yes makes it ask once more.
    m_human.AskWithoutWaiting();
    m_pDlg->OnClose();
}

void CUnitRun::Answer(int nAnswer, bool bTyped)
{
    if (!m_human.QuestionOpen())
        return;
    m_human.AnswerOpenQuestion(nAnswer, bTyped);
    if (nAnswer == kAnswerYes)
        m_pDlg->OnClose();
}

void CUnitRun::StopNow()
{
    if (Running())
        m_pDlg->Interrupt();
    m_human.WithdrawQuestion();
}

void CUnitRun::StoppedOnYes()
{
    if (m_human.QuestionOpen())
        m_human.AnswerOpenQuestion(kAnswerYes, false); // said when the question goes
    else
        m_human.Say("Yes: stopping the transfer.");
}

bool CUnitRun::ClockStopped()
{
    // A Ctrl-C while frames stream asks first; the tick goes on meanwhile.
    if (m_bInTick)
        return m_stopNow && m_stopNow();
    return m_stopRequested() || LeaveUpToDate();
}

bool CUnitRun::LeaveUpToDate()
{
    // The logic looks at its clock right after the version rule has passed
    // and before the bootloader request: a cancellation there ends the run
    // with nothing more sent.
    if (!m_bLeftUpToDate && m_options.bLeaveUpToDate && m_bInHandshake && m_pDlg && m_pDlg->UnitVersionKnown()
        && !m_pDlg->UnitToldBootloader() && IsPackagedVersion(m_pDlg->UnitVersion()))
        m_bLeftUpToDate = true;
    return m_bLeftUpToDate;
}

bool CUnitRun::Verify()
{
    if (!m_bEndTickKnown) {
        m_nEndTick = m_baseClock.GetTickCount();
        m_bEndTickKnown = true;
    }
    m_end.bVerifyAsked = true;
    // What the run's own connection went through; the verification's is
    // another one.
    const bool bLostInRun = m_bLineLost;
    if (m_pDlg->LastEnd() != kEndCompleted || Running())
        return false;
    m_human.Note("Verifying: waking the console until it answers (at most "
                 + std::to_string(kVerifyLimitMs / 1000) + " s)...");
    std::string strName = (m_target.nCom <= 9 ? "COM" : "\\\\.\\COM") + std::to_string(m_target.nCom);
    m_clock.Arm(true);
    SConsoleVersion after;
    {
        CNetOpenCancel cancel([this] { return m_clock.Cancelled(); });
        after = WakeAndReadVersion(m_pOpenDriver, strName, m_clock);
    }
    m_clock.Arm(false);
    // A unit that restarts may take its port away: that is no unplug of the run.
    m_bLineLost = bLostInRun;
    m_end.bVersionAfterKnown = after.bVersionKnown;
    m_end.fVersionAfter = after.fVersion;
    m_end.bVerified = after.bVersionKnown && IsPackagedVersion(after.fVersion);
    const std::string strPackaged = FormatFixed2(kPackagedVersion);
    if (m_end.bVerified)
        m_human.Say("Verified: the ZT9047Q reports version " + strPackaged + ".");
    else if (!after.bAnswered && m_stopRequested())
        m_human.Say("Not verified: stopped before the ZT9047Q answered.");
    else if (!after.bAnswered)
        m_human.Say("Not verified: the ZT9047Q did not answer within " + std::to_string(kVerifyLimitMs / 1000)
                    + " s after its update.");
    else if (!after.bVersionKnown)
        m_human.Say("Not verified: the ZT9047Q answered without a version.");
    else
        m_human.Say("Not verified: the ZT9047Q reports version " + VersionInHundredths(after.fVersion) + ", not "
                    + strPackaged + ".");
    return m_end.bVerified;
}

void CUnitRun::LogStart()
{
    if (m_bLogged || !m_options.pRunLog)
        return;
    m_bLogged = true;
    m_strRunId = m_options.pRunLog->RunStarted(m_target);
}

std::string CUnitRun::InterruptedText() const
{
    if (m_bStreamBegan)
        return "Update stopped before completion: the ZT9047Q waits in its bootloader; "
               "run the update again to finish it.";
    if (m_pDlg->UnitToldBootloader())
        return "Update interrupted: the ZT9047Q was already told to enter its bootloader and waits there; "
               "run the update again to finish it.";
    return "Update interrupted: nothing was switched; the ZT9047Q still runs its application firmware.";
}

const SRunEnd& CUnitRun::Finish()
{
    if (m_bFinished)
        return m_end;
    m_bFinished = true;
    if (Running())
        StopNow();
    m_human.WithdrawQuestion();
    m_end.eResult = m_strUnstarted.empty() ? m_pDlg->LastEnd() : kEndOpenFailed;
    if (m_end.eResult == kEndNone)
        m_end.eResult = kEndInterrupted;
    m_end.bVerifyAsked = m_options.bVerify;
    if (!m_strUnstarted.empty()) {
        m_end.strText = m_strUnstarted;
        m_human.Say(m_end.strText);
    } else if (m_end.eResult == kEndInterrupted && m_bLeftUpToDate) {
        m_end.bUpToDate = true;
        m_end.strText = "The ZT9047Q already runs version " + FormatFixed2(kPackagedVersion) + ": left as it is.";
        m_human.Say(m_end.strText);
        // What it reported is what was to be verified.
        m_end.bVerified = true;
        m_end.bVersionAfterKnown = true;
        m_end.fVersionAfter = m_pDlg->UnitVersion();
    } else if (m_end.eResult == kEndInterrupted) {
        m_end.strText = InterruptedText();
        m_human.Say(m_end.strText);
    } else {
        m_end.strText = m_human.m_strLastMessage;
    }
    const bool bNetwork = IsNetPortName(m_target.strFixedPath);
    if (m_bLineLost && bNetwork && m_strUnstarted.empty())
        m_human.Say("The connection to " + m_target.strPort + " was lost.");
    m_end.nBytes = m_pDlg->m_nBytesSent;
    m_end.nFrames = m_pDlg->m_nFramesSent;
    m_end.nElapsedMs = m_bStarted ? TicksElapsed(m_nStart, m_bEndTickKnown ? m_nEndTick : m_baseClock.GetTickCount()) : 0;
    m_end.bUnitVersionKnown = m_pDlg->UnitVersionKnown();
    m_end.fUnitVersion = m_pDlg->UnitVersion();
    std::string strLine = "Result: " + std::string(RunResultName(m_end));
    if (m_bStarted)
        strLine += " (" + std::to_string(m_end.nBytes) + " bytes in " + std::to_string(m_end.nFrames) + " frames, "
            + Seconds(m_end.nElapsedMs) + ")";
    SEndCause cause;
    cause.openError = m_openError;
    cause.bLineLost = m_bLineLost;
    cause.bNetwork = bNetwork;
    cause.bUnstarted = !m_strUnstarted.empty();
    ExplainEnd(m_end, cause);
    m_human.Say(strLine);
    // What to do now, where there is something to do.
    if (m_end.strReason != "completed" && m_end.strReason != "up-to-date")
        m_human.Say("Reason: " + m_end.strReason + ". " + m_end.strHint);
    if (m_options.bTickFigures && m_bStreamBegan)
        m_human.Say(m_ticks.Text());
    if (m_pJson)
        m_pJson->EmitEnd(m_end);
    // A run that ended before it began (no port, no thread) is recorded too.
    LogStart();
    if (m_options.pRunLog)
        m_options.pRunLog->RunEnded(m_strRunId, m_target, m_end);
    return m_end;
}

const SRunEnd& CUnitRun::FinishUnstarted(const std::string& strWhy)
{
    if (!m_bFinished)
        m_strUnstarted = strWhy.empty() ? "not started" : strWhy;
    return Finish();
}

// One unit's update from the command line: its own update logic object,
// port, surfaces, clock and 10 ms tick. The caller drives it step by step
// (find the port or take the one given, start the handshake, tick until the
// run ends, answer or stop), so that several can run side by side; the
// figures of the end (result, time, bytes, frames, the unit's version) are
// reported once, on the terminal and as the JSON end event.
#pragma once

#include "CancellableClock.h"
#include "JsonSurface.h"
#include "TerminalSurface.h"
#include "update/UpdateDlgDlg.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Which port a run uses.
struct SUnitTarget
{
    // How every line names the port: "COM33", or the path as given.
    std::string strPort;
    // The COM number the logic opens (-1: find the instrument's port).
    int nCom = -1;
    // A device outside the COM names, opened as it is under the stand-in
    // COM number 1 ("" for COM names).
    std::string strFixedPath;
    // Who and where the unit is, as the port listing reads it, and the
    // bench slot at that place; "" when unknown (null in the JSON events).
    std::string strUsbPath;
    std::string strUsbSerial;
    std::string strSlot;
};

// How the trace, the summary and the station's lines name a unit: its slot,
// then its COM name or path ("A1 (COM33)"), or the port alone without a slot.
std::string UnitName(const std::string& strSlot, const std::string& strPort);
inline std::string UnitName(const SUnitTarget& target) { return UnitName(target.strSlot, target.strPort); }

class IRunLog;
class CSlotMap;

// How a run kept its time: the handshake, and how late each 10 ms tick came
// after it was due (a late wake-up, or the tick before it running long while
// it waited for a frame's answer). For the station benchmark, which asks for
// them to say why a batch took longer than its floor.
struct STickFigures
{
    static const int kSpread = 32; // ms: later ticks count in the last place
    uint32_t nHandshakeMs = 0;
    uint32_t nStreamMs = 0;
    int nTicks = 0;
    uint32_t nLateMs = 0; // in all
    uint32_t nLateMaxMs = 0;
    int nLateAt[kSpread + 1] = {}; // ticks by their lateness in ms
    // Ticks that took longer than the period themselves, and by how much.
    int nLongTicks = 0;
    uint32_t nLongMs = 0;
    // Ticks a whole period late or more, after which the schedule began anew
    // that much later: what the stream lost beyond its floor.
    int nSlips = 0;
    uint32_t nSlipMs = 0;

    void Tick(uint32_t nLate, uint32_t nSpent, uint32_t nPeriod, bool bSlipped);
    // The lateness that 99 % of the ticks stay within (ms).
    uint32_t LateP99() const;
    // One line: "Timing: handshake 4152 ms, stream 1994 ms in 196 ticks; ...".
    std::string Text() const;
};

struct SUnitOptions
{
    CTerminalSurface::SOptions terminal;
    bool bJson = false;
    FILE* pHuman = stderr;
    FILE* pJson = stdout;
    // --verify: after a completed update, read the version the unit reports.
    bool bVerify = false;
    // A unit that reports the packaged version is left as it is
    // ("up-to-date"): nothing after the wake-up is sent to it.
    bool bLeaveUpToDate = false;
    // Where whole human lines and JSON lines go instead of the streams.
    std::function<void(const std::string& strLines)> writeHuman;
    std::function<void(const std::string& strLine)> writeJson;
    // Where the terminal's bar and prompt go instead of the stream.
    std::function<void(const std::string& strText, bool bMergeable)> writeText;
    // Where each run's start and end are recorded (--record); null for none.
    IRunLog* pRunLog = nullptr;
    // The bench's slot names (--slots); null for none.
    const CSlotMap* pSlots = nullptr;
    // Each run ends with a line of its tick figures (for the benchmark).
    bool bTickFigures = false;
};

// The records of runs, as a run sees them: told when it starts and when it
// ends, from the unit's own thread. An implementation only queues.
class IRunLog
{
public:
    virtual ~IRunLog() = default;
    // Returns the run's id, given back with its end.
    virtual std::string RunStarted(const SUnitTarget& target) = 0;
    virtual void RunEnded(const std::string& strRunId, const SUnitTarget& target, const SRunEnd& end) = 0;
};

// Fills the USB identity (and the slot, with slots) of each target from one
// reading of the port listing; a target the listing does not show keeps
// its identity unknown.
void FillUsbIdentity(std::vector<SUnitTarget>& targets, IPortSource* pSource, const CSlotMap* pSlots);

class CUnitRun
{
public:
    // stopRequested: the handshake (and a question it asks) stops as soon
    // as this says so.
    CUnitRun(const SUnitTarget& target, const SUnitOptions& options, IClock& clock,
             std::function<bool()> stopRequested, IPortSource* pPortSource = nullptr, ICommDriver* pDriver = nullptr,
             IResourceSource* pResources = nullptr);
    ~CUnitRun();

    // No port given: finds the instrument's by its name. False when none was
    // found (the run has then ended as "not-found").
    bool FindPort();
    // The handshake. True when the stream has begun; false when the run
    // has ended.
    bool Start();
    // Runs the tick when it is due. True while the run goes on.
    bool Step();
    // Milliseconds until the next tick is due.
    uint32_t NextTickIn();
    bool Running() const;

    // Ctrl-C while frames stream: the close question, left open while the
    // ticks go on; a second one while it is open counts as Yes.
    void RequestClose();
    bool QuestionOpen() const { return m_human.QuestionOpen(); }
    // An answer for the open question (bTyped: a line read from the terminal).
    void Answer(int nAnswer, bool bTyped = true);
    // Stop now, without asking (terminate, hang-up).
    void StopNow();
    // The Yes to the close question came while a tick waited and stopped the
    // stream there: the answer is shown as the question's own would be.
    void StoppedOnYes();
    // What stops a stream at once (terminate, hang-up, the station's Yes):
    // looked at inside a tick too, while it waits for a frame's answer.
    void StopNowWhen(std::function<bool()> stopNow) { m_stopNow = std::move(stopNow); }

    // --verify, once the run has completed: wakes the console until it
    // answers or 30 s pass and compares the version it reports with the
    // packaged one. True when they match.
    bool Verify();

    // Reports the end (once) and returns its figures.
    const SRunEnd& Finish();
    // The run could not begin at all (no thread for it): it ends as a port
    // that was not opened, nothing sent, with this text.
    const SRunEnd& FinishUnstarted(const std::string& strWhy);

    const std::string& PortName() const { return m_target.strPort; }
    const SUnitTarget& Target() const { return m_target; }
    const SUnitOptions& Options() const { return m_options; }
    CUpdateDlgDlg& Logic() { return *m_pDlg; }

private:
    std::string InterruptedText() const;
    void LogStart();
    // The unit has reported the packaged version and is to be left alone.
    bool LeaveUpToDate();
    // The run's clock is cancelled: in a tick only by a stop that needs no
    // question, elsewhere by any stop.
    bool ClockStopped();

    SUnitTarget m_target;
    SUnitOptions m_options;
    IClock& m_baseClock;
    CCancellableClock m_clock;
    std::function<bool()> m_stopRequested;
    std::function<bool()> m_stopNow;
    std::unique_ptr<ICommDriver> m_pPathDriver;
    std::unique_ptr<ICommDriver> m_pLossWatch; // between the logic and the driver
    bool m_bLineLost = false;                  // a port of this run went away under it
    SOpenError m_openError;                    // why the port did not open
    ICommDriver* m_pOpenDriver = nullptr; // what the logic opens the port with
    CTerminalSurface m_human;
    std::unique_ptr<CJsonSurface> m_pJson;
    std::unique_ptr<CUpdateDlgDlg> m_pDlg; // holds the 512 KiB image: never on the stack
    IPortSource* m_pPortSource;
    uint32_t m_nStart = 0;
    uint32_t m_nNextTick = 0;
    STickFigures m_ticks;
    bool m_bStarted = false;
    bool m_bLogged = false; // told the run log of its start
    std::string m_strRunId;
    bool m_bStreamBegan = false;
    bool m_bFinished = false;
    bool m_bInHandshake = false;
    bool m_bInTick = false;
    std::string m_strUnstarted;
    bool m_bLeftUpToDate = false;
    bool m_bEndTickKnown = false;
    uint32_t m_nEndTick = 0;
    SRunEnd m_end;
};

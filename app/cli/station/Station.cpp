#include "Station.h"

#include "../EndReason.h"
#include "../PortList.h"
#include "../StopSignals.h"
#include "../TerminalInput.h"
#include "update/TextFormat.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace {

// How often the station looks at signals and answers while nothing ends.
const int kLookEveryMs = 50;

std::string Padded(const std::string& s, size_t nWidth)
{
    return s.size() >= nWidth ? s + " " : s + std::string(nWidth - s.size(), ' ');
}

std::string Joined(const std::vector<std::string>& names)
{
    std::string s;
    for (const std::string& strName : names)
        s += (s.empty() ? "" : ", ") + strName;
    return s;
}

std::string VersionText(bool bKnown, float fVersion)
{
    return bKnown ? VersionInHundredths(fVersion) : "-";
}

uint64_t SteadyMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

} // namespace

// ---------------------------------------------------------------- one unit

CStationUnit::CStationUnit(const SUnitTarget& target, const SUnitOptions& options, const SUnitPlant& plant,
                           int nOrder, const std::atomic<bool>& stopAll, std::function<void()> onEnd)
    : m_target(target),
      m_options(options),
      m_plant(plant),
      m_nOrder(nOrder),
      m_stopAll(stopAll),
      m_onEnd(std::move(onEnd))
{
    if (!m_plant.pClock)
        m_plant.pClock = &SystemClock();
}

CStationUnit::~CStationUnit()
{
    Join();
}

void CStationUnit::Launch(uint32_t nAwaitOpenMs)
{
    m_nAwaitOpenMs = nAwaitOpenMs;
    m_ePhase = kHandshake;
    std::function<void()> body = [this] { Body(); };
    try {
        m_thread = m_plant.startThread ? m_plant.startThread(body) : std::thread(body);
    } catch (const std::system_error& e) {
        // This unit ends, not the process: the others go on.
        {
            CUnitRun run(m_target, m_options, *m_plant.pClock, [] { return true; }, nullptr, m_plant.pDriver);
            m_end = run.FinishUnstarted("Error: " + m_target.strPort + " was not updated: no thread could be started for it ("
                                        + e.code().message() + "). Nothing was sent to the ZT9047Q.");
        }
        m_ePhase = kDone;
        m_onEnd();
    }
}

bool CStationUnit::StopRequested() const
{
    return m_stopAll.load() || CStopSignals::TerminateRequested();
}

void CStationUnit::Join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void CStationUnit::Body()
{
    IClock& clock = *m_plant.pClock;
    if (m_nAwaitOpenMs) // a port that just appeared: udev may not be done with it
        AwaitOpenable(m_plant.pDriver ? *m_plant.pDriver : PlatformCommDriver(), "COM" + std::to_string(m_target.nCom),
                      clock, m_nAwaitOpenMs, [this] { return StopRequested(); });
    {
        CUnitRun run(m_target, m_options, clock, [this] { return StopRequested(); }, nullptr, m_plant.pDriver);
        run.StopNowWhen([this] { return StopRequested(); });
        if (run.Start()) {
            m_ePhase = kStreaming;
            // The window's timer for this unit alone.
            while (run.Running()) {
                if (StopRequested()) {
                    run.StopNow();
                    break;
                }
                if (!run.Step())
                    break;
                if (uint32_t nWait = run.NextTickIn())
                    clock.Sleep(nWait);
            }
        }
        m_ePhase = kEnding;
        if (m_options.bVerify && run.Logic().LastEnd() == kEndCompleted && !StopRequested())
            run.Verify();
        m_end = run.Finish();
    } // the port is released before the station hears of the end
    m_ePhase = kDone;
    m_onEnd();
}

// ---------------------------------------------------------------- summary

bool RecordSucceeded(const SStationRecord& record, bool bWatching)
{
    const SRunEnd& end = record.end;
    if (end.bUpToDate)
        return bWatching;
    if (bWatching && end.eResult == kEndDeclined)
        return true; // skipped, as asked: newer firmware is kept without --yes
    return end.eResult == kEndCompleted && (!end.bVerifyAsked || end.bVerified);
}

std::string SummaryTable(const std::vector<SStationRecord>& records, bool bVerify)
{
    size_t nPortWidth = 6, nSlotWidth = 0;
    for (const SStationRecord& r : records) {
        nPortWidth = std::max(nPortWidth, r.strPort.size());
        if (!r.strSlot.empty())
            nSlotWidth = std::max<size_t>(std::max<size_t>(nSlotWidth, 4), r.strSlot.size());
    }
    std::string s = "Summary:\n  " + (nSlotWidth ? Padded("Slot", nSlotWidth + 2) : "") + Padded("Port", nPortWidth + 2) + "Version  " + Padded("Result", 20) + "Seconds";
    if (bVerify)
        s += "  " + Padded("After", 17);
    s += "  Reason\n";
    int nYield[4] = {0, 0, 0, 0};
    int nUpToDate = 0, nDeclined = 0;
    std::string strHints;
    for (const SStationRecord& r : records) {
        const SRunEnd& end = r.end;
        nYield[YieldOf(end)] += 1;
        nUpToDate += end.bUpToDate ? 1 : 0;
        nDeclined += !end.bUpToDate && end.eResult == kEndDeclined ? 1 : 0;
        char szSeconds[32];
        std::snprintf(szSeconds, sizeof szSeconds, "%7.1f", end.nElapsedMs / 1000.0);
        s += "  " + (nSlotWidth ? Padded(r.strSlot.empty() ? "-" : r.strSlot, nSlotWidth + 2) : "")
            + Padded(r.strPort, nPortWidth + 2) + Padded(VersionText(end.bUnitVersionKnown, end.fUnitVersion), 9)
            + Padded(RunResultName(end), 20) + szSeconds;
        if (bVerify)
            s += "  " + Padded(VersionText(end.bVersionAfterKnown, end.fVersionAfter)
                                   + (end.bVerified ? " verified" : " not verified"), 17);
        s += "  " + end.strReason + "\n";
        // What to do now, for each run that left something to do.
        if (end.strReason != "completed" && end.strReason != "up-to-date" && !end.strHint.empty())
            strHints += "  " + UnitName(r.strSlot, r.strPort) + ": " + end.strHint + "\n";
    }
    // One yield, as the page and the records count it.
    s += std::to_string(records.size()) + (records.size() == 1 ? " run: " : " runs: ")
        + std::to_string(nYield[kYieldCompleted]) + " completed, " + std::to_string(nYield[kYieldNotVerified])
        + " not verified, " + std::to_string(nYield[kYieldFailed]) + " failed";
    if (nUpToDate)
        s += "; " + std::to_string(nUpToDate) + " up to date";
    if (nDeclined)
        s += (nUpToDate ? ", " : "; ") + std::to_string(nDeclined) + " declined";
    s += ".";
    if (!strHints.empty())
        s += "\nWhat now:\n" + strHints.substr(0, strHints.size() - 1);
    return s;
}

// ---------------------------------------------------------------- station

CStation::CStation(const SStationOptions& options, CStationOutput& output, IPortSource* pPorts,
                   UnitPlantFactory plants)
    : m_options(options), m_output(output), m_pPorts(pPorts), m_plants(std::move(plants))
{
    // Several units share the terminal: no bar, and nobody to ask per unit.
    m_options.unit.terminal.bOutIsTerminal = false;
    m_options.unit.terminal.bInIsTerminal = false;
}

CStation::~CStation()
{
    m_stopAll = true;
    m_units.clear(); // joins
}

SUnitTarget CStation::ComTarget(int nCom)
{
    SUnitTarget target;
    target.nCom = nCom;
    target.strPort = "COM" + std::to_string(nCom);
    return target;
}

void CStation::Launch(const SUnitTarget& target, uint32_t nAwaitOpenMs)
{
    SUnitOptions options = m_options.unit;
    // The bench's name for the place, where it has one: that is where the
    // operator looks.
    const std::string strPrefix = (target.strSlot.empty() ? target.strPort : target.strSlot) + ": ";
    CStationOutput& output = m_output;
    options.writeHuman = [&output, strPrefix](const std::string& strLines) { output.HumanLines(strPrefix, strLines); };
    options.writeJson = [&output](const std::string& strLine) { output.JsonLine(strLine); };
    SUnitPlant plant;
    if (m_plants)
        plant = m_plants(target);
    m_units.emplace_back(new CStationUnit(target, options, plant, m_nLaunched++, m_stopAll, [this] {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bSomeEnded = true;
        m_ended.notify_all();
    }));
    m_units.back()->Launch(nAwaitOpenMs);
}

std::vector<std::string> CStation::StreamingPorts() const
{
    std::vector<std::string> names;
    for (const auto& pUnit : m_units) {
        if (pUnit->Streaming())
            names.push_back(pUnit->Target().strPort);
    }
    return names;
}

bool CStation::Running(int nCom) const
{
    for (const auto& pUnit : m_units) {
        if (pUnit->Target().nCom == nCom && pUnit->Target().strFixedPath.empty())
            return true; // ended units have been reaped
    }
    return false;
}

void CStation::StopAll(const std::string& strWhy)
{
    if (m_stopAll.load())
        return;
    m_stopAll = true;
    m_bWatching = false;
    m_bQuestionOpen = false;
    m_output.Say(strWhy);
}

void CStation::AnswerQuestion(bool bYes)
{
    if (!m_bQuestionOpen)
        return;
    if (bYes) {
        StopAll("Yes: stopping the transfers.");
        return;
    }
    m_bQuestionOpen = false;
    m_output.Say("No: the transfers go on.");
}

void CStation::Interrupt()
{
    if (m_stopAll.load())
        return;
    if (m_bQuestionOpen) {
        AnswerQuestion(true); // a second Ctrl-C counts as Yes
        return;
    }
    std::vector<std::string> streaming = StreamingPorts();
    if (streaming.empty()) {
        StopAll(m_bWatching ? "Stopping: no more units are taken; handshakes under way end here."
                            : "Stopping: handshakes under way end here.");
        return;
    }
    if (!m_options.bInIsTerminal && m_options.unit.terminal.bAssumeYes) {
        StopAll("Answered Yes (--yes): stopping the transfers.");
        return;
    }
    // The window's close guard, once for all the units that stream; their
    // frames keep going out while it waits.
    if (m_options.bInIsTerminal)
        DiscardTypedAhead(); // a key pressed earlier must not answer it
    m_bQuestionOpen = true;
    m_output.Say("Warning, data transfer in progress on " + Joined(streaming) + ".\n"
                 + "Terminating the transfer before completion\n"
                 + "will result in unpredictable ZT9047Q operation.\n\n"
                 + (m_options.bInIsTerminal ? "Are you sure you want to exit? [y/N] (Ctrl-C again: Yes)"
                                            : "No terminal to answer: Ctrl-C again stops the transfers."));
}

void CStation::TakeStopRequests()
{
    if (CStopSignals::TerminateRequested())
        StopAll("Stopping now (terminated).");
    for (int n = CStopSignals::TakeInterrupts(); n > 0; --n)
        Interrupt();
    if (m_bQuestionOpen && StreamingPorts().empty()) {
        m_bQuestionOpen = false;
        m_output.Say("(The question is withdrawn: the transfers have ended.)");
    }
}

void CStation::ListPorts()
{
    std::vector<int> present;
    try {
        present = InstrumentPorts(m_pPorts);
        m_strListError.clear();
    } catch (const std::string& strError) {
        if (strError != m_strListError)
            m_output.Say(CTerminalSurface::AsLines(strError));
        m_strListError = strError;
        return;
    }
    for (int nCom : m_watch.Listed(present, [this](int n) { return Running(n); })) {
        SUnitTarget target = ComTarget(nCom);
        if (!TakeFound(target)) {
            m_output.Say(target.strPort + ": a ZT9047Q port appeared outside --usb-path/--usb-serial: left alone.");
            continue;
        }
        m_output.Say(UnitName(target) + ": a ZT9047Q port appeared.");
        Launch(target, m_options.nOpenPatienceMs);
    }
}

void CStation::Reap()
{
    for (auto it = m_units.begin(); it != m_units.end();) {
        if (!(*it)->Done()) {
            ++it;
            continue;
        }
        (*it)->Join();
        SStationRecord record;
        record.strPort = (*it)->Target().strPort;
        record.strSlot = (*it)->Target().strSlot;
        record.nOrder = (*it)->Order();
        record.end = (*it)->End();
        m_records.push_back(record);
        it = m_units.erase(it);
    }
}

int CStation::Run(bool bWatching)
{
    m_bWatching = bWatching;
    uint64_t nNextList = SteadyMs();
    for (;;) {
        TakeStopRequests();
        if (m_bWatching && static_cast<int64_t>(SteadyMs() - nNextList) >= 0) {
            nNextList = SteadyMs() + m_options.nListEveryMs;
            ListPorts();
        }
        Reap();
        if (!m_bWatching && m_units.empty())
            break;
        int nWait = kLookEveryMs;
        if (m_bWatching)
            nWait = std::min<int64_t>(nWait, std::max<int64_t>(0, static_cast<int64_t>(nNextList - SteadyMs())));
        if (m_bQuestionOpen && m_options.bInIsTerminal) {
            if (int nAnswer = PollAnswerLine(nWait))
                AnswerQuestion(nAnswer == kAnswerYes);
            continue;
        }
        std::unique_lock<std::mutex> lock(m_lock);
        m_ended.wait_for(lock, std::chrono::milliseconds(nWait), [this] { return m_bSomeEnded; });
        m_bSomeEnded = false;
    }
    bool bVerify = m_options.unit.bVerify;
    // In the order the runs began.
    std::stable_sort(m_records.begin(), m_records.end(),
                     [](const SStationRecord& a, const SStationRecord& b) { return a.nOrder < b.nOrder; });
    m_output.Say(SummaryTable(m_records, bVerify));
    // A watching station ends only when asked to: a terminate (systemctl
    // stop) is its normal end, whatever its runs' results, which the summary
    // and the records hold; a service manager must not take it for a failure.
    if (bWatching && CStopSignals::TerminateRequested())
        return 0;
    bool bAllGood = !m_records.empty() || bWatching;
    for (const SStationRecord& r : m_records)
        bAllGood = bAllGood && RecordSucceeded(r, bWatching);
    return bAllGood ? 0 : 1;
}

void CStation::NotFound()
{
    // As a single run that finds no port: its lines and events, no prefix.
    SUnitOptions options = m_options.unit;
    CStationOutput& output = m_output;
    options.writeHuman = [&output](const std::string& strLines) { output.Say(strLines); };
    options.writeJson = [&output](const std::string& strLine) { output.JsonLine(strLine); };
    SUnitTarget nowhere;
    CUnitRun run(nowhere, options, SystemClock(), [] { return false; }, m_pPorts);
    run.FindPort();
    run.Finish();
}

int CStation::RunAll(const std::vector<SUnitTarget>& targets)
{
    if (targets.empty()) {
        NotFound();
        return 1;
    }
    std::vector<SUnitTarget> identified = targets;
    FillUsbIdentity(identified, m_pPorts, m_options.unit.pSlots);
    std::vector<std::string> names;
    for (const SUnitTarget& target : identified)
        names.push_back(UnitName(target));
    m_output.Say("Updating " + std::to_string(targets.size()) + (targets.size() == 1 ? " unit: " : " units at once: ")
                 + Joined(names));
    for (const SUnitTarget& target : identified)
        Launch(target);
    return Run(false);
}

int CStation::Watch()
{
    m_output.Say("Watching for ZT9047Q units: each one that appears is updated once. Ctrl-C stops.");
    return Run(true);
}

bool CStation::TakeFound(SUnitTarget& target)
{
    std::vector<SUnitTarget> one = {target};
    FillUsbIdentity(one, m_pPorts, m_options.unit.pSlots);
    target = one.front();
    return m_options.filter.IsEmpty() || m_options.filter.Passes(target.strUsbPath, target.strUsbSerial);
}

void CStation::AddInstrumentPorts(std::vector<SUnitTarget>& targets)
{
    try {
        std::vector<SUnitTarget> found;
        for (int nCom : InstrumentPorts(m_pPorts))
            found.push_back(ComTarget(nCom));
        FillUsbIdentity(found, m_pPorts, m_options.unit.pSlots);
        for (const SUnitTarget& one : found) {
            if (!m_options.filter.IsEmpty() && !m_options.filter.Passes(one.strUsbPath, one.strUsbSerial))
                continue;
            if (std::none_of(targets.begin(), targets.end(),
                             [&one](const SUnitTarget& t) { return SameUnit(t, one); }))
                targets.push_back(one);
        }
    } catch (const std::string& strError) {
        m_output.Say(CTerminalSurface::AsLines(strError));
    }
}

// The factory station: several units updated at once, each by its own run
// of the window's update logic (its own logic object, port, surfaces, clock
// and 10 ms tick, on a thread of its own), so that no unit's silence,
// rejects or slow answers hold up another. The station starts the runs,
// takes Ctrl-C and the terminate signals for all of them, watches the port
// listing for new units when asked to, and ends with a summary table.
#pragma once

#include "../UnitRun.h"
#include "Bench.h"
#include "PortWatch.h"
#include "StationOutput.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What one unit's run gets from outside. Empty: the machine's clock and
// ports; tests give every unit a simulated instrument on a clock of its own.
struct SUnitPlant
{
    IClock* pClock = nullptr;
    ICommDriver* pDriver = nullptr;
    // Starts the unit's thread (empty: std::thread). It may throw
    // std::system_error, as a process at its limit of threads does.
    std::function<std::thread(std::function<void()>)> startThread;
};
typedef std::function<SUnitPlant(const SUnitTarget& target)> UnitPlantFactory;

struct SStationOptions
{
    // Every unit's options; questions are answered by --yes alone (No
    // without it) and progress goes in 10 % lines.
    SUnitOptions unit;
    // The station's own close question can be answered on the terminal.
    bool bInIsTerminal = false;
    // How often the port listing is read while watching.
    uint32_t nListEveryMs = 200;
    // How long a port that appeared may take to let itself be opened.
    uint32_t nOpenPatienceMs = 5000;
    // --usb-path, --usb-serial: the ports that --all and --watch take.
    CUsbFilter filter;
};

// One unit's run on its own thread.
class CStationUnit
{
public:
    CStationUnit(const SUnitTarget& target, const SUnitOptions& options, const SUnitPlant& plant, int nOrder,
                 const std::atomic<bool>& stopAll, std::function<void()> onEnd);
    ~CStationUnit();

    // Before its run, wait up to nMs for the port to let itself be opened.
    void Launch(uint32_t nAwaitOpenMs = 0);
    const SUnitTarget& Target() const { return m_target; }
    int Order() const { return m_nOrder; }
    bool Streaming() const { return m_ePhase.load() == kStreaming; }
    bool Done() const { return m_ePhase.load() == kDone; }
    void Join();
    // The end's figures, once Done.
    const SRunEnd& End() const { return m_end; }

private:
    enum EPhase { kWaiting, kHandshake, kStreaming, kEnding, kDone };
    void Body();
    // A stop that every unit sees at once: the station's (Yes, or Ctrl-C
    // while nothing streams) or a terminate or hang-up straight from the
    // signal, without waiting for the station's loop to pass it on.
    bool StopRequested() const;

    SUnitTarget m_target;
    SUnitOptions m_options;
    SUnitPlant m_plant;
    int m_nOrder;
    const std::atomic<bool>& m_stopAll;
    std::function<void()> m_onEnd;
    uint32_t m_nAwaitOpenMs = 0;
    std::atomic<int> m_ePhase{kWaiting};
    SRunEnd m_end;
    std::thread m_thread;
};

// A unit's line in the summary.
struct SStationRecord
{
    std::string strPort;
    std::string strSlot; // "" when the bench names no slot there
    SRunEnd end;
    int nOrder = 0; // the runs' order of starting
};

// The summary table: the slot (when a unit has one), port, version the unit
// reported, result, seconds, with --verify the version after, and the
// reason; then the yield (completed, not verified, failed, and those left
// alone) and the hint of each run that left something to do.
std::string SummaryTable(const std::vector<SStationRecord>& records, bool bVerify);

// The run of a record counts as good: completed (verified, when asked),
// or, while watching, left alone as up to date.
bool RecordSucceeded(const SStationRecord& record, bool bWatching);

class CStation
{
public:
    CStation(const SStationOptions& options, CStationOutput& output, IPortSource* pPorts = nullptr,
             UnitPlantFactory plants = UnitPlantFactory());
    ~CStation();

    // --all and repeated --port: every given unit at once. Exit status 0
    // only when each one completed; 1 when any failed or there was none.
    int RunAll(const std::vector<SUnitTarget>& targets);
    // --watch: until stopped, every instrument port that appears is updated
    // once. Exit status 0 when no run failed.
    int Watch();

    const std::vector<SStationRecord>& Records() const { return m_records; }

    // --all: appends every port the instrument's name rule matches, in list
    // order, that the targets do not name yet and the filter passes.
    void AddInstrumentPorts(std::vector<SUnitTarget>& targets);

    // The target that names a port by its COM number.
    static SUnitTarget ComTarget(int nCom);

private:
    int Run(bool bWatching);
    void Launch(const SUnitTarget& target, uint32_t nAwaitOpenMs = 0);
    void TakeStopRequests();
    void Interrupt();
    void AnswerQuestion(bool bYes);
    void StopAll(const std::string& strWhy);
    void ListPorts();
    void Reap();
    std::vector<std::string> StreamingPorts() const;
    bool Running(int nCom) const;
    void NotFound();
    // Looks up the port's identity; false when the filter does not pass it.
    bool TakeFound(SUnitTarget& target);

    SStationOptions m_options;
    CStationOutput& m_output;
    IPortSource* m_pPorts;
    UnitPlantFactory m_plants;

    std::atomic<bool> m_stopAll{false};
    std::mutex m_lock;
    std::condition_variable m_ended;
    bool m_bSomeEnded = false;

    std::vector<std::unique_ptr<CStationUnit>> m_units;
    std::vector<SStationRecord> m_records;
    CPortWatch m_watch;
    int m_nLaunched = 0;
    bool m_bWatching = false;
    bool m_bQuestionOpen = false;
    std::string m_strListError;
};

// zt9047q-flash: the firmware update from a terminal. It runs the window's
// own update logic on the same 10 ms tick; only the surface differs. One
// unit goes through the single-unit path; several (--all, --port given more
// than once, --watch) through the station. This file reads the command line
// and wires the parts together.
//
// Exit status: 0 when the firmware was updated (every unit's, verified when
// asked), 1 for a failed or refused run, 2 for a usage error.
#include "BuildVersion.h"
#include "FlashOne.h"
#include "OutputRoom.h"
#include "PortList.h"
#include "ProcessSetup.h"
#include "StopSignals.h"
#include "TerminalInput.h"
#include "TraceDriver.h"
#include "UnitRun.h"
#include "station/Station.h"
#ifdef ZT_STATION_PAGE
#include "StationServe.h"
#endif
#include "serial/ComNames.h"
#include "update/TextFormat.h"
#include "update/Version.h"

#include <algorithm>
#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <vector>


namespace {

// How long the tool still waits for a stream that takes nothing more once a
// stop has come.
const uint32_t kOutputWaitMs = 2000;

const char kUsage[] =
    "usage: zt9047q-flash [--port NAME]... [--all] [--watch] [--verify] [--yes] [--json] [--quiet]\n"
    "                     [--trace[=FILE]] [--serve [ADDR:]PORT [--serve-token FILE]]\n"
    "                     [--list] [--help] [--version]\n"
    "Updates the firmware of a ZT9047Q to version %s.\n"
#ifdef _WIN32
    "  -p, --port NAME\n"
    "               the unit's port: a COM name (COM8, \\\\.\\COM8); device paths\n"
    "               are for Linux only; without it the port is found by its name.\n"
#else
    "  -p, --port NAME\n"
    "               the unit's port: a COM name (COM33, \\\\.\\COM33) or a device\n"
    "               path (/dev/ttyUSB0); without it the port is found by its name.\n"
#endif
    "               Given more than once, those units are updated at once\n"
    "  --all        update every port whose name is the instrument's, all at once\n"
    "  --watch      keep running until Ctrl-C or SIGTERM and update every instrument\n"
    "               port that appears, once; units at %s already are left alone\n"
    "  --verify     after the update, wake the unit (up to 30 s) and check that it\n"
    "               reports the new version\n"
    "  -y, --yes    answer Yes to questions when there is no terminal to ask; with\n"
    "               several units, Yes to every downgrade (without it: declined)\n"
    "  -j, --json   events as JSON Lines on standard output (human text stays on\n"
    "               standard error)\n"
    "  -q, --quiet  only message texts and the result on standard error\n"
    "  --trace[=FILE]\n"
    "               every byte sent and received, time-stamped, on standard\n"
    "               error or into FILE\n"
    "  --serve [ADDR:]PORT\n"
    "               with a station (--all, --watch, --port more than once): serve\n"
    "               a live page of the units, read-only, at http://ADDR:PORT/\n"
    "               (ADDR 127.0.0.1 unless given; PORT 0: any free port)\n"
    "  --serve-token FILE\n"
    "               every request to the page must carry the token in FILE;\n"
    "               needed for any address but loopback\n"
    "  -l, --list   list the serial ports this program sees and exit (with --json:\n"
    "               one JSON object per port)\n"
    "  -h, --help   show this text\n"
    "  -V, --version\n"
    "               show this program's version and the firmware version it carries\n"
    "With several units every line starts with the unit's port, and a summary\n"
    "table (port, version, result, seconds) ends the run.\n"
    "Exit status: 0 updated (every unit), 1 failed or refused, 2 usage error.\n";

void PrintUsage(FILE* f)
{
    std::string strVersion = FormatFixed2(kPackagedVersion);
    std::fprintf(f, kUsage, strVersion.c_str(), strVersion.c_str());
}

// A --port value as a run's target; false when it names no port.
bool TargetOf(const std::string& strPort, SUnitTarget* pTarget)
{
#ifdef _WIN32
    // Windows opens serial ports by their COM names only.
    if (strPort.find('/') != std::string::npos)
        return false;
#endif
    if (strPort.find('/') != std::string::npos) {
        pTarget->strPort = strPort;
        pTarget->nCom = DevicePathToComNumber(strPort);
        if (pTarget->nCom < 0) {
            pTarget->nCom = 1; // the logic needs a number; texts name the path
            pTarget->strFixedPath = strPort;
        }
        return true;
    }
    pTarget->nCom = ParseComName(strPort);
    if (pTarget->nCom < 0)
        return false;
    pTarget->strPort = "COM" + std::to_string(pTarget->nCom);
    return true;
}

int UsageError(const std::string& strWhat)
{
    std::fprintf(stderr, "zt9047q-flash: %s\nTry 'zt9047q-flash --help' for more information.\n", strWhat.c_str());
    return 2;
}

// The end of the output: every line written, or said what was not. A run
// whose output did not all get out does not count as a success.
int Conclude(COutputRoom& room, int nStatus)
{
    // A stop that comes while only the output is awaited ends the wait.
    CStopSignals::TakeInterrupts();
    const bool bTerminatedBefore = CStopSignals::TerminateRequested();
    bool bWritten = room.Close(
        kOutputWaitMs, [] { return CStopSignals::AnyRequested(); },
        [bTerminatedBefore] {
            return (!bTerminatedBefore && CStopSignals::TerminateRequested()) || CStopSignals::TakeInterrupts() > 0;
        });
    return bWritten || nStatus != 0 ? nStatus : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> ports;
    bool bList = false;
    bool bAll = false;
    bool bWatch = false;
    bool bTrace = false;
    std::string strTraceFile;
    bool bServe = false;
    std::string strServe, strServeToken;
    SUnitOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (a == "--version" || a == "-V") {
            std::printf("zt9047q-flash %s\ncarries ZT9047Q firmware %s\n", ZT_PROGRAM_VERSION_TEXT,
                        FormatFixed2(kPackagedVersion).c_str());
            return 0;
        } else if (a == "--yes" || a == "-y") {
            options.terminal.bAssumeYes = true;
        } else if (a == "--json" || a == "-j") {
            options.bJson = true;
        } else if (a == "--quiet" || a == "-q") {
            options.terminal.bQuiet = true;
        } else if (a == "--list" || a == "-l") {
            bList = true;
        } else if (a == "--all") {
            bAll = true;
        } else if (a == "--watch") {
            bWatch = true;
        } else if (a == "--verify") {
            options.bVerify = true;
        } else if (a == "--trace") {
            bTrace = true;
        } else if (a.compare(0, 8, "--trace=") == 0) {
            bTrace = true;
            strTraceFile = a.substr(8);
            if (strTraceFile.empty())
                return UsageError("--trace= needs a file name");
        } else if (a == "--port" || a == "-p") {
            if (i + 1 >= argc)
                return UsageError("option '" + a + "' needs a port name");
            ports.push_back(argv[++i]);
        } else if (a.compare(0, 7, "--port=") == 0) {
            ports.push_back(a.substr(7));
        } else if (a == "--serve" || a == "--serve-token") {
            if (i + 1 >= argc)
                return UsageError("option '" + a + "' needs " + (a == "--serve" ? "[ADDR:]PORT" : "a file name"));
            (a == "--serve" ? strServe : strServeToken) = argv[++i];
            bServe = bServe || a == "--serve";
        } else if (a.compare(0, 8, "--serve=") == 0) {
            bServe = true;
            strServe = a.substr(8);
        } else if (a.compare(0, 14, "--serve-token=") == 0) {
            strServeToken = a.substr(14);
            if (strServeToken.empty())
                return UsageError("--serve-token= needs a file name");
        } else if (a.size() > 1 && a[0] == '-') {
            return UsageError("unknown option '" + a + "'");
        } else {
            return UsageError("unexpected argument '" + a + "'");
        }
    }

    if (bList) {
        if (!options.bJson) {
            std::fputs(PortListText().c_str(), stdout);
            return 0;
        }
        std::string strLines, strError;
        if (!PortListJson(&strLines, &strError)) {
            std::fprintf(stderr, "zt9047q-flash: %s\n", CTerminalSurface::AsLines(strError).c_str());
            return 1;
        }
        std::fputs(strLines.c_str(), stdout);
        return 0;
    }

    if (bWatch && !ports.empty())
        return UsageError("--watch finds the units by their names; it takes no --port");
    const bool bStation = bWatch || bAll || ports.size() > 1;
    if (!strServeToken.empty() && !bServe)
        return UsageError("--serve-token is for --serve");
    if (bServe && !bStation)
        return UsageError("--serve shows a station: give --all, --watch or --port more than once");
#ifdef ZT_STATION_PAGE
    SServeAddress serveAt;
    std::string strServeError;
    if (bServe && !ParseServeAddress(strServe, &serveAt, &strServeError))
        return UsageError(strServeError);
#else
    if (bServe) {
        std::fprintf(stderr, "zt9047q-flash: --serve is not available in this build: the station page is served"
                             " by the Linux build only.\n");
        return 2;
    }
#endif

    std::vector<SUnitTarget> targets;
    for (const std::string& strPort : ports) {
        SUnitTarget target;
        if (!TargetOf(strPort, &target)) {
#ifdef _WIN32
            return UsageError("'" + strPort + "' is not a COM name (COM1 to COM256; device paths are for Linux)");
#else
            return UsageError("'" + strPort + "' is not a COM name (COM1 to COM256) or a device path");
#endif
        }
        // One device is one unit, however it is spelt.
        auto same = std::find_if(targets.begin(), targets.end(),
                                 [&target](const SUnitTarget& t) { return SameUnit(t, target); });
        if (same == targets.end())
            targets.push_back(target);
        else if (same->strPort != target.strPort && !options.terminal.bQuiet)
            std::fprintf(stderr, "zt9047q-flash: %s is the same device as %s: one run.\n", target.strPort.c_str(),
                         same->strPort.c_str());
    }

    PrepareProcess(options.bJson);
    CStopSignals::Install();
    options.terminal.bOutIsTerminal = StderrIsTerminal();
    options.terminal.bInIsTerminal = StdinIsTerminal();

    // From here on every line goes through the room's writers.
    COutputRoom room(options.pHuman, options.bJson ? options.pJson : nullptr);
    if (bTrace && !strTraceFile.empty()) {
        std::string strError;
        if (!room.TraceToFile(strTraceFile, &strError)) {
            std::fprintf(stderr, "zt9047q-flash: cannot write the trace to %s: %s\n", strTraceFile.c_str(),
                         strError.c_str());
            return 2;
        }
    }
    options.writeHuman = [&room](const std::string& strLines) { room.Say(strLines); };
    options.writeText = [&room](const std::string& strText, bool bMergeable) { room.HumanText(strText, bMergeable); };
    options.writeJson = [&room](const std::string& strLine) { room.JsonLine(strLine); };
    // One decorator per unit (the station's units open their ports on threads of their own).
    std::list<CTraceDriver> traces;
    auto traced = [&]() -> ICommDriver* {
        if (!bTrace)
            return nullptr;
        traces.emplace_back(PlatformCommDriver(), [&room](const std::string& strLine) { room.TraceLine(strLine); });
        return &traces.back();
    };

#ifdef ZT_STATION_PAGE
    // ---- The station page (--serve): one more consumer of the room's events.
    std::unique_ptr<CStationPage> pPage;
    if (bServe) {
        pPage.reset(new CStationPage);
        std::string strError;
        if (!pPage->Start(serveAt, strServeToken, strError)) {
            std::fprintf(stderr, "zt9047q-flash: cannot serve the station page: %s\n",
                         CTerminalSurface::AsLines(strError).c_str());
            return 2;
        }
        // RECORDS FOR THE PAGE: with a record target, hand the page its
        // record source here, declared before pPage so that it outlives the
        // server, e.g.
        //   if (!strRecordTarget.empty()) {
        //       pageRecords = MakePageRecordSource(strRecordTarget);
        //       pPage->Web().SetRecordSource(pageRecords.get());
        //   }
        // Without one, the page's record parts answer 503.
        room.Attach(pPage.get());
        if (!options.terminal.bQuiet)
            room.Say("Station page: " + pPage->Url());
    }
    // Ends the page after the summary: its clients take the last events.
    auto stopPage = [&pPage, &room] {
        if (pPage) {
            room.Detach(pPage.get());
            pPage->Stop();
        }
    };
#else
    auto stopPage = [] {};
#endif
    // The units write JSON events whenever somebody takes them: standard
    // output only with --json, the sinks always.
    options.bJson = options.bJson || room.HasSinks();

    if (bStation) {
        SStationOptions station;
        station.unit = options;
        station.unit.bLeaveUpToDate = bWatch;
        station.bInIsTerminal = options.terminal.bInIsTerminal;
        UnitPlantFactory plants;
        if (bTrace)
            plants = [&](const SUnitTarget&) {
                SUnitPlant plant;
                plant.pDriver = traced();
                return plant;
            };
        CStation units(station, room, nullptr, plants);
        int nStatus;
        if (bWatch) {
            nStatus = units.Watch();
        } else {
            if (bAll)
                units.AddInstrumentPorts(targets);
            nStatus = units.RunAll(targets);
        }
        stopPage();
        return Conclude(room, nStatus);
    }

    SUnitTarget target;
    if (!targets.empty())
        target = targets.front();
    IClock& clock = SystemClock();
    int nStatus;
    {
        CUnitRun run(target, options, clock, [] { return CStopSignals::AnyRequested(); }, nullptr, traced());
        nStatus = FlashOneUnit(run, targets.empty(), options.terminal.bInIsTerminal, clock);
    } // the port is released before the output is awaited
    return Conclude(room, nStatus);
}

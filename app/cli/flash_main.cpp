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
#include "station/Bench.h"
#include "station/Station.h"
#ifdef ZT_STATION_PAGE
#include "StationServe.h"
#include "records/RunRecorder.h"
#endif
#ifndef _WIN32
#include "records/Forwarding.h"
#include "records/RecordsExport.h"
#include "records/StationRecords.h"
#endif
#include "serial/ComNames.h"
#include "serial/NetPort.h"
#include "update/TextFormat.h"
#include "update/Version.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
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
    "                     [--usb-path PATH]... [--usb-serial PREFIX]... [--slots FILE]\n"
#ifndef _WIN32 // Windows keeps no records and serves no page: its help leaves them out
    "                     [--record TARGET [--spool FILE]] [--serve [ADDR:]PORT [--serve-token FILE]]\n"
#endif
    "                     [--trace[=FILE]] [--list] [--help] [--version]\n"
#ifndef _WIN32
    "       zt9047q-flash --records TARGET [--since TIME] [--until TIME] [--result R]\n"
    "                     [--format csv|jsonl|count]\n"
#endif
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
    "               rfc2217://HOST:PORT or socket://HOST:PORT: a unit behind a\n"
    "               serial server (plain TCP: a trusted network or an SSH tunnel).\n"
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
#ifndef _WIN32
    "  --serve [ADDR:]PORT\n"
    "               with a station (--all, --watch, --port more than once): serve\n"
    "               a live page of the units, read-only, at http://ADDR:PORT/\n"
    "               (ADDR 127.0.0.1 unless given; PORT 0: any free port)\n"
    "  --serve-token FILE\n"
    "               every request to the page must carry the token in FILE;\n"
    "               needed for any address but loopback\n"
    "  --serve-cert FILE, --serve-key FILE\n"
    "               serve the page over HTTPS with this certificate and key (PEM)\n"
#endif
    "  --usb-path PATH\n"
    "               with --all or --watch: only ports at that USB location or behind\n"
    "               it (1-2 takes 1-2.3); repeatable\n"
    "  --usb-serial PREFIX\n"
    "               with --all or --watch: only ports whose USB serial number starts\n"
    "               so (any case); repeatable\n"
    "  --slots FILE the bench's slots, lines NAME USB_PATH: a unit's slot name leads\n"
    "               its lines, the summary and the JSON \"slot\"\n"
#ifndef _WIN32
    "  --record TARGET\n"
    "               keep a record of every run in TARGET, an SQLite file or a\n"
    "               postgresql:// URL; nothing is updated when it cannot be written\n"
    "  --spool FILE with a postgresql:// TARGET: the local file that holds records\n"
    "               until the server has them (default\n"
    "               $XDG_STATE_HOME/zt9047q/spool.db)\n"
    "  --records TARGET\n"
    "               print the records (oldest first) and exit; with --since TIME,\n"
    "               --until TIME (UTC: today, 2026-03-01, 2026-03-01T08:00), --result R\n"
    "               and --format csv (default), jsonl or count\n"
#endif
    "  -l, --list   list the serial ports this program sees and exit (with --json:\n"
    "               one JSON object per port)\n"
    "  -h, --help   show this text\n"
    "  -V, --version\n"
    "               show this program's version and the firmware version it carries\n"
    "With several units every line starts with the unit's port, and a summary\n"
    "table (port, version, result, seconds) ends the run.\n"
    "Exit status: 0 updated (every unit), 1 failed or refused, 2 usage error.\n"
#ifdef _WIN32
    "Records (--record, --records) and the station page (--serve) are for Linux only.\n"
#endif
    ;

void PrintUsage(FILE* f)
{
    std::string strVersion = FormatFixed2(kPackagedVersion);
    std::fprintf(f, kUsage, strVersion.c_str(), strVersion.c_str());
}

// A --port value as a run's target; false when it names no port.
bool TargetOf(const std::string& strPort, SUnitTarget* pTarget)
{
    // A unit behind a serial server: opened by its URL, named without a
    // password, no USB identity.
    if (IsNetPortName(strPort)) {
        SNetAddress address;
        std::string strError;
        if (!ParseNetPortName(strPort, &address, &strError))
            return false;
        pTarget->strPort = NetDisplayName(strPort);
        pTarget->nCom = 1; // the logic needs a number; texts name the URL
        pTarget->strFixedPath = strPort;
        return true;
    }
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
    // A stop asked before bounds the wait; any request that comes while it
    // waits ends it at once. The count is latched, not taken: every check
    // below (and in the writers' waits) sees that request, not only the first.
    const unsigned nRequestsBefore = CStopSignals::RequestsSoFar();
    const bool bStoppedBefore = CStopSignals::AnyRequested();
    CStopSignals::TakeInterrupts();
    bool bWritten = room.Close(
        kOutputWaitMs, [bStoppedBefore] { return bStoppedBefore || CStopSignals::TerminateRequested(); },
        [nRequestsBefore] { return CStopSignals::RequestsSoFar() != nRequestsBefore; });
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
    std::string strServe, strServeToken, strServeCert, strServeKey;
    SUnitOptions options;
    // The bench and the records.
    CUsbFilter usbFilter;
    std::string strSlotsFile, strRecord, strSpool, strRecords, strSince, strUntil, strResult, strFormat;
    bool bRecordsOnly = false; // --since, --until, --result or --format was given
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        // "--name VALUE" or "--name=VALUE" of a flag that takes a value.
        std::string strValue;
        auto valued = [&](const char* pszName) -> int {
            const size_t nName = std::strlen(pszName);
            if (a == pszName) {
                if (i + 1 >= argc)
                    return -1;
                strValue = argv[++i];
                return 1;
            }
            if (a.size() > nName && a.compare(0, nName, pszName) == 0 && a[nName] == '=') {
                strValue = a.substr(nName + 1);
                return 1;
            }
            return 0;
        };
        int nValued = 0;
        const char* const valuedFlags[][2] = {
            {"--usb-path", "a USB location"}, {"--usb-serial", "a serial number prefix"}, {"--slots", "a file"},
            {"--record", "a file or a postgresql:// URL"}, {"--spool", "a file"},
            {"--records", "a file or a postgresql:// URL"}, {"--since", "a time"}, {"--until", "a time"},
            {"--result", "a result"}, {"--format", "csv, jsonl or count"}};
        for (const auto& flag : valuedFlags) {
            nValued = valued(flag[0]);
            if (nValued < 0)
                return UsageError("option '" + a + "' needs " + flag[1]);
            if (nValued == 0)
                continue;
            std::string strFlag = flag[0], strError;
            if (strFlag == "--usb-path" && !usbFilter.AddPath(strValue, &strError))
                return UsageError(strError);
            if (strFlag == "--usb-serial" && !usbFilter.AddSerialPrefix(strValue, &strError))
                return UsageError(strError);
            std::string* pTarget = strFlag == "--slots"   ? &strSlotsFile
                : strFlag == "--record"                   ? &strRecord
                : strFlag == "--spool"                    ? &strSpool
                : strFlag == "--records"                  ? &strRecords
                : strFlag == "--since"                    ? &strSince
                : strFlag == "--until"                    ? &strUntil
                : strFlag == "--result"                   ? &strResult
                : strFlag == "--format"                   ? &strFormat
                                                          : nullptr;
            if (pTarget)
                *pTarget = strValue;
            if (strFlag == "--since" || strFlag == "--until" || strFlag == "--result" || strFlag == "--format")
                bRecordsOnly = true;
            break;
        }
        if (nValued > 0)
            continue;
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
        } else if (a == "--serve-cert" || a == "--serve-key") {
            if (i + 1 >= argc)
                return UsageError("option '" + a + "' needs a file name");
            (a == "--serve-cert" ? strServeCert : strServeKey) = argv[++i];
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

#ifdef _WIN32
    if (!strRecord.empty() || !strRecords.empty() || !strSpool.empty()) {
        std::fprintf(stderr, "zt9047q-flash: records (--record, --records, --spool) are not available on Windows: "
                             "this build carries no database library. Keep records on a Linux station.\n");
        return 2;
    }
#else
    if (!strRecords.empty()) {
        SRecordsExport request;
        request.strTarget = strRecords;
        request.strSince = strSince;
        request.strUntil = strUntil;
        request.strResult = strResult;
        if (!strFormat.empty() && !ParseRecordsFormat(strFormat, &request.eFormat))
            return UsageError("--format " + strFormat + ": csv, jsonl or count");
        if (IsServerTarget(strRecords))
            return ExportServerRecords(request, strFormat);
        return ExportRecords(request, stdout, stderr);
    }
#endif
    if (bRecordsOnly)
        return UsageError("--since, --until, --result and --format go with --records");
    if (!strSpool.empty() && strRecord.empty())
        return UsageError("--spool goes with --record");
    if (!usbFilter.IsEmpty() && !bAll && !bWatch)
        return UsageError("--usb-path and --usb-serial choose among the ports that --all and --watch find");
    CSlotMap slots;
    if (!strSlotsFile.empty()) {
        std::string strError;
        if (!slots.Load(strSlotsFile, &strError)) {
            std::fprintf(stderr, "zt9047q-flash: %s\n", strError.c_str());
            return 2;
        }
        options.pSlots = &slots;
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
    if ((!strServeCert.empty() || !strServeKey.empty()) && !bServe)
        return UsageError("--serve-cert and --serve-key are for --serve");
    if (strServeCert.empty() != strServeKey.empty())
        return UsageError("--serve-cert and --serve-key go together");
#ifdef ZT_STATION_PAGE
    SServeAddress serveAt;
    std::string strServeError;
    if (bServe && !ParseServeAddress(strServe, &serveAt, &strServeError))
        return UsageError(strServeError);
#else
    if (bServe) {
#ifdef _WIN32
        std::fprintf(stderr, "zt9047q-flash: --serve is not available in this build: the station page is served"
                             " by the Linux build only.\n");
#else
        // The preset cli (scripts/main.sh) and a machine without the page's
        // library build the command line alone.
        std::fprintf(stderr, "zt9047q-flash: --serve is not available in this build: it was built without the"
                             " station page (bash scripts/setup.sh test installs what the page needs; the preset"
                             " default builds it).\n");
#endif
        return 2;
    }
#endif

    std::vector<SUnitTarget> targets;
    for (const std::string& strPort : ports) {
        SUnitTarget target;
        if (!TargetOf(strPort, &target)) {
            SNetAddress address;
            std::string strWhy;
            if (IsNetPortName(strPort) && !ParseNetPortName(strPort, &address, &strWhy))
                return UsageError("a network port is rfc2217://HOST:PORT or socket://HOST:PORT: " + strWhy);
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

    // For the station benchmark: every run says how its ticks kept time.
    options.bTickFigures = std::getenv("ZT9047Q_TICK_FIGURES") != nullptr;
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

    // ---- Records (--record): opened before any unit is touched; a station
    // that must keep records updates nothing unrecorded. ----
#ifndef _WIN32
    CRecordsSession records;
    if (!strRecord.empty()) {
        std::string strError, strWarning;
        if (!records.Open(strRecord, strSpool, ZT_PROGRAM_VERSION_TEXT, &strError, &strWarning)) {
            room.Say("zt9047q-flash: records cannot be kept: " + strError + "\nNothing was updated.");
            return Conclude(room, 1);
        }
        if (!strWarning.empty())
            room.Say("zt9047q-flash: " + strWarning);
        options.pRunLog = records.Log();
    }
#endif
    // After the last run: what could not be saved goes to standard error, and
    // a run whose record was lost does not count as a success.
    auto concludeRecords = [&](int nStatus) {
#ifndef _WIN32
        std::string strLines;
        if (!records.Close(&strLines, CStopSignals::EverRequested()))
            nStatus = 1;
        if (!strLines.empty() && !(options.terminal.bQuiet && nStatus == 0))
            room.Say(strLines);
#endif
        return nStatus;
    };
    // ---- end of the records' set-up ----
    // One decorator per unit (the station's units open their ports on threads of their own).
    std::list<CTraceDriver> traces;
    auto traced = [&](const SUnitTarget& target) -> ICommDriver* {
        if (!bTrace)
            return nullptr;
        traces.emplace_back(NetAwareCommDriver(), [&room](const std::string& strLine) { room.TraceLine(strLine); },
                            UnitName(target));
        return &traces.back();
    };

#ifdef ZT_STATION_PAGE
    // ---- The station page (--serve): a program of its own, fed the room's
    // events; it reads the records from their SQLite file (the spool in
    // front of a server).
    std::unique_ptr<CStationPage> pPage;
    if (bServe) {
        pPage.reset(new CStationPage([&room](const std::string& strLine) { room.Say(strLine); }));
        SPageLaunch launch;
        launch.address = serveAt;
        launch.strTokenFile = strServeToken;
        launch.strCertFile = strServeCert;
        launch.strKeyFile = strServeKey;
        if (!strRecord.empty())
            // A server's records are the forwarder's to read: the page shows
            // this station's own, from its spool.
            launch.strRecordsFile = IsServerTarget(strRecord) ? (strSpool.empty() ? DefaultSpoolPath() : strSpool)
                                                              : strRecord;
        std::string strError;
        if (!pPage->Start(launch, strError)) {
            std::fprintf(stderr, "zt9047q-flash: cannot serve the station page: %s\n",
                         CTerminalSurface::AsLines(strError).c_str());
            return 2;
        }
        room.Attach(pPage.get());
        if (!options.terminal.bQuiet) {
            for (const std::string& strUrl : pPage->Urls())
                room.Say("Station page: " + strUrl);
            if (strServeCert.empty() && serveAt.strAddress != "127.0.0.1" && serveAt.strAddress != "::1" &&
                serveAt.strAddress != "localhost" && serveAt.strAddress.compare(0, 4, "127.") != 0)
                room.Say("zt9047q-flash: the page is served without TLS: its token crosses the network in clear"
                         " (--serve-cert and --serve-key serve it over HTTPS).");
        }
    }
    // Ends the page after the summary: it takes the last events.
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
        station.filter = usbFilter;
        UnitPlantFactory plants;
        if (bTrace)
            plants = [&](const SUnitTarget& target) {
                SUnitPlant plant;
                plant.pDriver = traced(target);
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
        return Conclude(room, concludeRecords(nStatus));
    }

    SUnitTarget target;
    if (!targets.empty()) {
        FillUsbIdentity(targets, nullptr, options.pSlots);
        target = targets.front();
    }
    IClock& clock = SystemClock();
    int nStatus;
    {
        CUnitRun run(target, options, clock, [] { return CStopSignals::AnyRequested(); }, nullptr, traced(target));
        nStatus = FlashOneUnit(run, targets.empty(), options.terminal.bInIsTerminal, clock);
    } // the port is released before the output is awaited
    return Conclude(room, concludeRecords(nStatus));
}

// zt9047q-flash: the firmware update from a terminal. It runs the window's
// own update logic on the same 10 ms tick; only the surface differs. One
// unit goes through the single-unit path; several (--all, --port given more
// than once, --watch) through the station. This file reads the command line
// and wires the parts together.
//
// Exit status: 0 when the firmware was updated (every unit's, verified when
// asked), 1 for a failed or refused run, 2 for a usage error.
#include "FlashOne.h"
#include "PortList.h"
#include "ProcessSetup.h"
#include "StopSignals.h"
#include "TerminalInput.h"
#include "UnitRun.h"
#include "station/Station.h"
#include "serial/ComNames.h"
#include "update/TextFormat.h"
#include "update/Version.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: zt9047q-flash [--port NAME]... [--all] [--watch] [--verify] [--yes] [--json] [--quiet]\n"
    "                     [--list] [--help] [--version]\n"
    "Updates the firmware of a ZT9047Q to version %s.\n"
#ifdef _WIN32
    "  --port NAME  the unit's port: a COM name (COM8, \\\\.\\COM8); device paths\n"
    "               are for Linux only; without it the port is found by its name.\n"
#else
    "  --port NAME  the unit's port: a COM name (COM33, \\\\.\\COM33) or a device\n"
    "               path (/dev/ttyUSB0); without it the port is found by its name.\n"
#endif
    "               Given more than once, those units are updated at once\n"
    "  --all        update every port whose name is the instrument's, all at once\n"
    "  --watch      keep running until Ctrl-C or SIGTERM and update every instrument\n"
    "               port that appears, once; units at %s already are left alone\n"
    "  --verify     after the update, wake the unit (up to 30 s) and check that it\n"
    "               reports the new version\n"
    "  --yes        answer Yes to questions when there is no terminal to ask; with\n"
    "               several units, Yes to every downgrade (without it: declined)\n"
    "  --json       events as JSON Lines on standard output (human text stays on\n"
    "               standard error)\n"
    "  --quiet      only message texts and the result on standard error\n"
    "  --list       list the serial ports this program sees and exit\n"
    "  --help       show this text\n"
    "  --version    show the firmware version this program carries\n"
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
    std::fprintf(stderr, "zt9047q-flash: %s\n", strWhat.c_str());
    PrintUsage(stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> ports;
    bool bList = false;
    bool bAll = false;
    bool bWatch = false;
    SUnitOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("zt9047q-flash %s\n", FormatFixed2(kPackagedVersion).c_str());
            return 0;
        } else if (a == "--yes") {
            options.terminal.bAssumeYes = true;
        } else if (a == "--json") {
            options.bJson = true;
        } else if (a == "--quiet" || a == "-q") {
            options.terminal.bQuiet = true;
        } else if (a == "--list") {
            bList = true;
        } else if (a == "--all") {
            bAll = true;
        } else if (a == "--watch") {
            bWatch = true;
        } else if (a == "--verify") {
            options.bVerify = true;
        } else if (a == "--port") {
            if (i + 1 >= argc)
                return UsageError("--port needs a name");
            ports.push_back(argv[++i]);
        } else if (a.compare(0, 7, "--port=") == 0) {
            ports.push_back(a.substr(7));
        } else {
            return UsageError("unknown argument '" + a + "'");
        }
    }

    if (bList) {
        std::fputs(PortListText().c_str(), stdout);
        return 0;
    }

    if (bWatch && !ports.empty())
        return UsageError("--watch finds the units by their names; it takes no --port");

    std::vector<SUnitTarget> targets;
    for (const std::string& strPort : ports) {
        SUnitTarget target;
        if (!TargetOf(strPort, &target)) {
#ifdef _WIN32
            std::fprintf(stderr, "zt9047q-flash: '%s' is not a COM name (COM1 to COM256; device paths are for Linux)\n",
                         strPort.c_str());
#else
            std::fprintf(stderr, "zt9047q-flash: '%s' is not a COM name (COM1 to COM256) or a device path\n",
                         strPort.c_str());
#endif
            return 2;
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

    if (bWatch || bAll || ports.size() > 1) {
        SStationOptions station;
        station.unit = options;
        station.unit.bLeaveUpToDate = bWatch;
        station.bInIsTerminal = options.terminal.bInIsTerminal;
        CStationOutput output(options.pHuman, options.pJson);
        CStation units(station, output);
        if (bWatch)
            return units.Watch();
        if (bAll)
            units.AddInstrumentPorts(targets);
        return units.RunAll(targets);
    }

    SUnitTarget target;
    if (!targets.empty())
        target = targets.front();
    IClock& clock = SystemClock();
    CUnitRun run(target, options, clock, [] { return CStopSignals::AnyRequested(); });
    return FlashOneUnit(run, targets.empty(), options.terminal.bInIsTerminal, clock);
}

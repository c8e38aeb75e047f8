// zt9047q-flash: the firmware update from a terminal. It runs the window's
// own update logic on the same 10 ms tick; only the surface differs. This
// file reads the command line and wires the parts together.
//
// Exit status: 0 when the firmware was updated, 1 for a failed or refused
// run, 2 for a usage error.
#include "FlashOne.h"
#include "PortList.h"
#include "StopSignals.h"
#include "TerminalInput.h"
#include "UnitRun.h"
#include "serial/ComNames.h"
#include "update/TextFormat.h"
#include "update/Version.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

const char kUsage[] =
    "usage: zt9047q-flash [--port NAME] [--yes] [--json] [--quiet] [--list] [--help] [--version]\n"
    "Updates the firmware of a ZT9047Q to version %s.\n"
    "  --port NAME  the unit's port: a COM name (COM33, \\\\.\\COM33) or a device\n"
    "               path (/dev/ttyUSB0); without it the port is found by its name\n"
    "  --yes        answer Yes to questions when there is no terminal to ask\n"
    "  --json       events as JSON Lines on standard output (human text stays on\n"
    "               standard error)\n"
    "  --quiet      only message texts and the result on standard error\n"
    "  --list       list the serial ports this program sees and exit\n"
    "  --help       show this text\n"
    "  --version    show the firmware version this program carries\n"
    "Exit status: 0 updated, 1 failed or refused, 2 usage error.\n";

void PrintUsage(FILE* f)
{
    std::fprintf(f, kUsage, FormatFixed2(kPackagedVersion).c_str());
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
    std::string strPort;
    bool bHavePort = false;
    bool bList = false;
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
        } else if (a == "--port") {
            if (i + 1 >= argc)
                return UsageError("--port needs a name");
            strPort = argv[++i];
            bHavePort = true;
        } else if (a.compare(0, 7, "--port=") == 0) {
            strPort = a.substr(7);
            bHavePort = true;
        } else {
            return UsageError("unknown argument '" + a + "'");
        }
    }

    if (bList) {
        std::fputs(PortListText().c_str(), stdout);
        return 0;
    }

    SUnitTarget target;
    if (bHavePort) {
        if (strPort.find('/') != std::string::npos) {
            target.strPort = strPort;
            target.nCom = DevicePathToComNumber(strPort);
            if (target.nCom < 0) {
                target.nCom = 1; // the logic needs a number; texts name the path
                target.strFixedPath = strPort;
            }
        } else {
            target.nCom = ParseComName(strPort);
            if (target.nCom < 0) {
                std::fprintf(stderr, "zt9047q-flash: '%s' is not a COM name (COM1 to COM256) or a device path\n",
                             strPort.c_str());
                return 2;
            }
            target.strPort = "COM" + std::to_string(target.nCom);
        }
    }

    CStopSignals::Install();
    options.terminal.bOutIsTerminal = StderrIsTerminal();
    options.terminal.bInIsTerminal = StdinIsTerminal();
    IClock& clock = SystemClock();
    CUnitRun run(target, options, clock, [] { return CStopSignals::AnyRequested(); });
    return FlashOneUnit(run, !bHavePort, options.terminal.bInIsTerminal, clock);
}

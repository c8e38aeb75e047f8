// zt9047q-flash: the firmware update from a terminal. It runs the window's
// own update logic on the same 10 ms tick; only the surface differs.
//
//   zt9047q-flash [--port NAME] [--yes] [--help] [--version]
//
// Exit status: 0 when the firmware was updated, 1 for a failed or refused
// run, 2 for a usage error.
#include "TerminalSurface.h"
#include "serial/ComNames.h"
#include "update/TextFormat.h"
#include "update/UpdateDlgDlg.h"
#include "update/Version.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_nInterrupt = 0; // 1 Ctrl-C (asks first), 2 terminate

void OnSignal(int nSignal)
{
    g_nInterrupt = nSignal == SIGINT ? 1 : 2;
}

const char kUsage[] =
    "usage: zt9047q-flash [--port NAME] [--yes] [--help] [--version]\n"
    "Updates the firmware of a ZT9047Q to version %s.\n"
    "  --port NAME  the unit's port: a COM name (COM33, \\\\.\\COM33) or a device\n"
    "               path (/dev/ttyUSB0); without it the port is found by its name\n"
    "  --yes        answer Yes to questions when there is no terminal to ask\n"
    "  --help       show this text\n"
    "  --version    show the firmware version this program carries\n"
    "Exit status: 0 updated, 1 failed or refused, 2 usage error.\n";

void PrintUsage(FILE* f)
{
    std::fprintf(f, kUsage, FormatFixed2(kPackagedVersion).c_str());
}

// Opens one given device path whatever COM name the logic forms.
class CFixedPathDriver : public ICommDriver
{
public:
    explicit CFixedPathDriver(const std::string& strPath) : m_strPath(strPath) {}
    ICommHandle* OpenDevice(const char*) override { return PlatformCommDriver().OpenDevice(m_strPath.c_str()); }

private:
    std::string m_strPath;
};

} // namespace

int main(int argc, char** argv)
{
    std::string strPort;
    bool bHavePort = false;
    bool bYes = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("zt9047q-flash %s\n", FormatFixed2(kPackagedVersion).c_str());
            return 0;
        } else if (a == "--yes") {
            bYes = true;
        } else if (a == "--port" || a.compare(0, 7, "--port=") == 0) {
            if (a == "--port") {
                if (i + 1 >= argc) {
                    std::fprintf(stderr, "zt9047q-flash: --port needs a name\n");
                    PrintUsage(stderr);
                    return 2;
                }
                strPort = argv[++i];
            } else {
                strPort = a.substr(7);
            }
            bHavePort = true;
        } else {
            std::fprintf(stderr, "zt9047q-flash: unknown argument '%s'\n", a.c_str());
            PrintUsage(stderr);
            return 2;
        }
    }

    int nCom = -1;
    std::unique_ptr<CFixedPathDriver> pPathDriver;
    if (bHavePort) {
        if (strPort.find('/') != std::string::npos) {
            nCom = DevicePathToComNumber(strPort);
            if (nCom < 0) {
                // A path outside the COM name space still opens; messages
                // name it by the number 1.
                nCom = 1;
                pPathDriver.reset(new CFixedPathDriver(strPort));
            }
        } else {
            nCom = ParseComName(strPort);
            if (nCom < 0) {
                std::fprintf(stderr, "zt9047q-flash: '%s' is not a COM name (COM1 to COM256) or a device path\n",
                             strPort.c_str());
                return 2;
            }
        }
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGHUP, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    CTerminalSurface surface(stderr, isatty(STDERR_FILENO) != 0, isatty(STDIN_FILENO) != 0, bYes);
    IClock& clock = SystemClock();
    // The logic holds the 512 KiB image buffer; keep it off the stack.
    std::unique_ptr<CUpdateDlgDlg> pDlg(new CUpdateDlgDlg(surface, clock, pPathDriver.get()));
    CUpdateDlgDlg& dlg = *pDlg;

    if (bHavePort) {
        surface.SetComNumber(nCom);
        surface.SetStatusText(texts::kWaiting);
    } else {
        dlg.OnInitDialog();
        if (surface.m_strLastMessage == texts::kNotFound)
            return 1;
    }
    std::fprintf(stderr, "Port: %s\n", bHavePort ? strPort.c_str() : ("COM" + std::to_string(surface.GetComNumber())).c_str());

    dlg.OnDownload();

    // The window's 10 ms timer: one tick per period; a tick that ran long is
    // followed by the next at once, and ticks never pile up.
    uint32_t nNext = clock.GetTickCount();
    while (dlg.m_nTransferState != 0) {
        if (g_nInterrupt) {
            bool bAsk = g_nInterrupt == 1;
            g_nInterrupt = 0;
            if (!bAsk) {
                dlg.m_nTransferState = 0;
                dlg.ResetTransfer();
                std::fprintf(stderr, "\nUpdate stopped before completion.\n");
                return 1;
            }
            if (dlg.OnClose()) {
                std::fprintf(stderr, "Update stopped before completion.\n");
                return 1;
            }
        }
        uint32_t nNow = clock.GetTickCount();
        int32_t nWait = static_cast<int32_t>(nNext - nNow);
        if (nWait > 0) {
            clock.Sleep(static_cast<uint32_t>(nWait));
            continue;
        }
        nNext = nNow + CUpdateDlgDlg::kTimerPeriodMs;
        dlg.OnTimer(CUpdateDlgDlg::kTimerId);
    }
    return dlg.LastRunCompleted() ? 0 : 1;
}

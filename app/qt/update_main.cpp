// zt9047q-update: the firmware update window.
#include "BuildVersion.h"
#include "UpdateDlgApp.h"
#include "update/TextFormat.h"
#include "update/Version.h"

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>

namespace {

// The main window lives on the main thread's stack with its 512 KiB image
// buffer inside. Linux grows that stack up to the soft limit, which can be
// raised here, before anything big is on it.
bool EnsureMainStack(rlim_t nWanted, rlim_t nNeeded)
{
    rlimit lim;
    if (getrlimit(RLIMIT_STACK, &lim) != 0)
        return true; // nothing known; the usual 8 MiB holds it
    if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= nWanted)
        return true;
    rlimit raised = lim;
    raised.rlim_cur = (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < nWanted) ? lim.rlim_max : nWanted;
    if (raised.rlim_cur > lim.rlim_cur && setrlimit(RLIMIT_STACK, &raised) == 0)
        lim = raised;
    if (lim.rlim_cur >= nNeeded)
        return true;
    std::fprintf(stderr,
                 "zt9047q-update: the stack limit is too small (ulimit -s); at least %lu KiB are needed\n",
                 static_cast<unsigned long>(nNeeded / 1024));
    return false;
}

const char kNoWindowHint[] =
    "Start it in a desktop session, or update from a terminal with zt9047q-flash.\n";

bool Set(const char* pszName)
{
    const char* psz = std::getenv(pszName);
    return psz != nullptr && *psz != '\0';
}

// Qt ends the process with an abort (status 134) when no platform plugin
// starts, with advice to reinstall. Whether one can is mostly plain from the
// environment, so that case is told before Qt is asked. pszPlatform: what
// -platform or QT_QPA_PLATFORM names (a list separated by ';'), or null for
// Qt's own choice (Wayland in a Wayland session, else X11).
bool DisplayReachable(const char* pszPlatform, bool bDisplayOption)
{
    const bool bX11 = bDisplayOption || Set("DISPLAY");
    const bool bWayland = Set("WAYLAND_DISPLAY") || Set("WAYLAND_SOCKET");
    if (pszPlatform == nullptr || *pszPlatform == '\0')
        return bX11 || bWayland;
    std::string strList = pszPlatform;
    size_t nFrom = 0;
    for (;;) {
        size_t nEnd = strList.find(';', nFrom);
        std::string strName = strList.substr(nFrom, nEnd == std::string::npos ? std::string::npos : nEnd - nFrom);
        strName = strName.substr(0, strName.find(':')); // "vnc:size=800x600" and the like
        if (strName == "xcb") {
            if (bX11)
                return true;
        } else if (strName.compare(0, 7, "wayland") == 0) {
            if (bWayland)
                return true;
        } else if (!strName.empty()) {
            return true; // offscreen, vnc, eglfs...: they need no display to be named
        }
        if (nEnd == std::string::npos)
            return false;
        nFrom = nEnd + 1;
    }
}

// While the application starts: a platform that fails anyway (a display
// that is named but does not answer) ends the program with status 1 and a
// plain word instead of Qt's abort. Qt's own warnings before it still show
// which display it tried.
QtMessageHandler g_previousHandler = nullptr;

void OnStartMessage(QtMsgType type, const QMessageLogContext& context, const QString& strMessage)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "zt9047q-update: the window cannot be opened: no display could be reached.\n%s",
                     kNoWindowHint);
        std::fflush(stderr);
        std::_Exit(1);
    }
    if (g_previousHandler)
        g_previousHandler(type, context, strMessage);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, strMessage)));
}

void PrintUsage()
{
    std::printf("usage: zt9047q-update [--help] [--version]\n"
                "Opens the window that updates the firmware of a ZT9047Q to version %s.\n"
                "The window finds the instrument's port itself; press Download.\n"
                "It needs a display (X11 or Wayland); on a terminal use zt9047q-flash.\n",
                FormatFixed2(kPackagedVersion).c_str());
}

} // namespace

int main(int argc, char** argv)
{
    const char* pszPlatform = std::getenv("QT_QPA_PLATFORM");
    bool bDisplayOption = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("zt9047q-update %s (firmware %s)\n", ZT_PROGRAM_VERSION_TEXT, FormatFixed2(kPackagedVersion).c_str());
            return 0;
        }
        // Qt's own options, which win over the environment.
        if (i + 1 < argc && std::strcmp(argv[i], "-platform") == 0)
            pszPlatform = argv[i + 1];
        if (i + 1 < argc && std::strcmp(argv[i], "-display") == 0)
            bDisplayOption = true;
    }
    if (!DisplayReachable(pszPlatform, bDisplayOption)) {
        std::string strWhy = "neither DISPLAY nor WAYLAND_DISPLAY is set";
        if (pszPlatform && *pszPlatform)
            strWhy = "the platform \"" + std::string(pszPlatform) + "\" is asked for, and " + strWhy;
        std::fprintf(stderr, "zt9047q-update: no display to open the window on (%s).\n%s", strWhy.c_str(),
                     kNoWindowHint);
        return 1;
    }
    if (!EnsureMainStack(4u * 1024 * 1024, 2u * 1024 * 1024))
        return 1;
    g_previousHandler = qInstallMessageHandler(OnStartMessage);
    CUpdateDlgApp app(argc, argv);
    qInstallMessageHandler(g_previousHandler);
    return app.InitInstance();
}

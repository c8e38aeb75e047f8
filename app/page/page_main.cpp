// zt9047q-page: the station page in a process of its own. Reads the
// station's JSON event lines on standard input (what --json writes), the
// records read-only from an SQLite file, and serves the page. Started by
// zt9047q-flash --serve, which hands it a socket already listening; it can
// also bind an address itself.
#include <malloc.h>
#include <poll.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "PageRecords.h"
#include "PageServer.h"
#include "Sandbox.h"

namespace {

const char* const kUsage =
    "Usage: zt9047q-page [--serve [ADDR:]PORT | --listen-fd FD [--address ADDR]]\n"
    "                    [--serve-token FILE] [--serve-cert FILE --serve-key FILE]\n"
    "                    [--records FILE] [--user NAME] [--memory MB]\n"
    "Serves the station page, fed the station's JSON event lines on standard\n"
    "input; stops at the end of that input, or on SIGTERM or SIGINT.\n"
    "  --serve [ADDR:]PORT  listen there (127.0.0.1 unless given; port 0: any)\n"
    "  --listen-fd FD       serve on a socket already listening (ADDR: its address)\n"
    "  --serve-token FILE   every request must carry the token in FILE\n"
    "  --serve-cert FILE, --serve-key FILE\n"
    "                       HTTPS with this certificate and key (PEM)\n"
    "  --records FILE       the station's records (SQLite), read-only\n"
    "  --user NAME          started as root: run as NAME (default zt9047q)\n"
    "  --memory MB          the process's memory ceiling (default 512)\n"
    "Prints \"ready PORT\" on standard output once it serves.\n";

int Fail(const std::string& strText, int nStatus = 2)
{
    std::fprintf(stderr, "zt9047q-page: %s\n", strText.c_str());
    return nStatus;
}

bool ReadPem(const std::string& strFile, std::string& strText, std::string& strError)
{
    std::ifstream in(strFile, std::ios::binary);
    if (!in) {
        strError = "cannot read " + strFile + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    strText = s.str();
    if (strText.size() > 1024 * 1024 || strText.find("-----BEGIN ") == std::string::npos) {
        strError = strFile + " is not a PEM file";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    SPageOptions options;
    std::string strTokenFile, strCertFile, strKeyFile, strRecords, strUser = "zt9047q";
    std::size_t nMemoryMb = 512;
    bool bListen = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--serve" && value(v)) {
            std::size_t nColon = v.rfind(':');
            std::string strPort = v;
            if (nColon != std::string::npos) {
                options.strAddress = v.substr(0, nColon);
                strPort = v.substr(nColon + 1);
                if (options.strAddress.size() > 2 && options.strAddress.front() == '[')
                    options.strAddress = options.strAddress.substr(1, options.strAddress.size() - 2);
            }
            if (strPort.empty() || strPort.size() > 5 || strPort.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(strPort) > 65535)
                return Fail("--serve takes [ADDR:]PORT with a port of 0 to 65535");
            options.nPort = std::stoi(strPort);
            bListen = true;
        } else if (a == "--listen-fd" && value(v)) {
            options.nListenFd = std::atoi(v.c_str());
            bListen = true;
        } else if (a == "--address" && value(v)) {
            options.strAddress = v;
        } else if (a == "--serve-token" && value(v)) {
            strTokenFile = v;
        } else if (a == "--serve-cert" && value(v)) {
            strCertFile = v;
        } else if (a == "--serve-key" && value(v)) {
            strKeyFile = v;
        } else if (a == "--records" && value(v)) {
            strRecords = v;
        } else if (a == "--user" && value(v)) {
            strUser = v;
        } else if (a == "--memory" && value(v)) {
            nMemoryMb = std::strtoul(v.c_str(), nullptr, 10);
            if (nMemoryMb < 32) return Fail("--memory takes a number of megabytes, 32 or more");
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (!bListen) return Fail("give --serve [ADDR:]PORT or --listen-fd FD");
    if (strCertFile.empty() != strKeyFile.empty()) return Fail("--serve-cert and --serve-key go together");

    // The station's key for the session cookies, so that a page it starts
    // again knows the browsers' sessions; not on the command line, where
    // any user could read it.
    if (const char* pszKey = getenv("ZT9047Q_PAGE_KEY")) {
        options.strSessionKey = pszKey;
        unsetenv("ZT9047Q_PAGE_KEY");
    }
    std::string strError;
    if (!strTokenFile.empty() && !CPageServer::ReadToken(strTokenFile, options.strToken, strError)) return Fail(strError);
    if (!strCertFile.empty() && (!ReadPem(strCertFile, options.strCertPem, strError) ||
                                 !ReadPem(strKeyFile, options.strKeyPem, strError)))
        return Fail(strError);

    // The end of the input and a stop request, read in one place.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int nStopFd = signalfd(-1, &stops, SFD_CLOEXEC);

    // Few arenas: each thread's own would reserve address space that the
    // ceiling below counts.
    mallopt(M_ARENA_MAX, 2);
    if (!LimitMemory(nMemoryMb * 1024 * 1024, strError)) return Fail(strError, 1);

    std::unique_ptr<IRecordSource> pRecords;
    if (!strRecords.empty()) {
        pRecords = OpenSqliteRecordSource(strRecords, CPageServer::kMaxRecordQueries, &strError);
        if (!strError.empty()) std::fprintf(stderr, "zt9047q-page: %s\n", strError.c_str());
    }
    CPageServer server;
    server.SetRecordSource(pRecords.get());
    if (!server.Start(options, strError)) return Fail(strError);
    options.strKeyPem.assign(options.strKeyPem.size(), '\0');

    if (!DropRoot(strUser, strError) || !LockDown(strError)) {
        server.Stop();
        return Fail(strError, 1);
    }
    // The units come first: the page takes what CPU they leave.
    setpriority(PRIO_PROCESS, 0, 10);
    std::printf("ready %d\n", server.Port());
    std::fflush(stdout);

    std::string strBuffer;
    char chunk[65536];
    bool bRun = true;
    while (bRun) {
        pollfd fds[2] = {{0, POLLIN, 0}, {nStopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        if (!fds[0].revents) continue;
        ssize_t n = read(0, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        strBuffer.append(chunk, static_cast<std::size_t>(n));
        std::size_t nStart = 0, nEnd;
        while ((nEnd = strBuffer.find('\n', nStart)) != std::string::npos) {
            server.Event(strBuffer.substr(nStart, nEnd - nStart));
            nStart = nEnd + 1;
        }
        strBuffer.erase(0, nStart);
        if (strBuffer.size() > 1024 * 1024) strBuffer.clear(); // no event is that long
    }
    // The clients get a moment to take the last events (the last ends).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    while (server.Fanout().QueuedBytes() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    server.Stop();
    return EndLockedDown(0);
}

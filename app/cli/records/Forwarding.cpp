#include "Forwarding.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

const char* const kForwardUrlVariable = "ZT9047Q_FORWARD_URL";

namespace {

typedef std::chrono::steady_clock Clock;

// How long a forwarder may go on once a stop was asked.
const int kStopGraceMs = 400;

int MsUntil(Clock::time_point t)
{
    const auto n = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return n < 0 ? 0 : static_cast<int>(n);
}

bool Executable(const std::string& strPath)
{
    return !strPath.empty() && access(strPath.c_str(), X_OK) == 0;
}

} // namespace

bool IsServerTarget(const std::string& strTarget)
{
    return strTarget.rfind("postgresql://", 0) == 0 || strTarget.rfind("postgres://", 0) == 0;
}

std::string TargetWithoutPassword(const std::string& strUrl)
{
    std::string s = strUrl;
    const size_t nStart = s.find("://");
    if (nStart == std::string::npos)
        return s;
    const size_t nAuthority = nStart + 3;
    const size_t nEnd = s.find_first_of("/?", nAuthority);
    const size_t nAt = s.rfind('@', nEnd == std::string::npos ? std::string::npos : nEnd);
    if (nAt != std::string::npos && nAt >= nAuthority) {
        const size_t nColon = s.find(':', nAuthority);
        if (nColon != std::string::npos && nColon < nAt)
            s.erase(nColon, nAt - nColon);
    }
    // password=... among the parameters.
    const size_t nQuery = s.find('?');
    if (nQuery == std::string::npos)
        return s;
    std::string strKept;
    size_t i = nQuery + 1;
    while (i <= s.size()) {
        size_t nAmp = s.find('&', i);
        if (nAmp == std::string::npos)
            nAmp = s.size();
        const std::string strParam = s.substr(i, nAmp - i);
        if (strParam.rfind("password=", 0) != 0 && !strParam.empty())
            strKept += (strKept.empty() ? "" : "&") + strParam;
        i = nAmp + 1;
    }
    return s.substr(0, nQuery) + (strKept.empty() ? "" : "?" + strKept);
}

std::string FindForwarder()
{
    char sz[4096];
    const ssize_t n = readlink("/proc/self/exe", sz, sizeof sz - 1);
    if (n > 0) {
        std::string strSelf(sz, static_cast<size_t>(n));
        const std::string strBeside = strSelf.substr(0, strSelf.rfind('/') + 1) + "zt9047q-forward";
        if (Executable(strBeside))
            return strBeside;
    }
    const char* pszPath = std::getenv("PATH");
    std::string strPath = pszPath ? pszPath : "/usr/local/bin:/usr/bin:/bin";
    size_t i = 0;
    while (i <= strPath.size()) {
        size_t nColon = strPath.find(':', i);
        if (nColon == std::string::npos)
            nColon = strPath.size();
        const std::string strDir = strPath.substr(i, nColon - i);
        if (!strDir.empty() && Executable(strDir + "/zt9047q-forward"))
            return strDir + "/zt9047q-forward";
        i = nColon + 1;
    }
    return "";
}

int ExportServerRecords(const SRecordsExport& request, const std::string& strFormat)
{
    const std::string strExe = FindForwarder();
    if (strExe.empty()) {
        std::fprintf(stderr, "zt9047q-flash: a server's records are read through zt9047q-forward, which is not "
                             "installed beside this program or on PATH\n");
        return 1;
    }
    std::vector<std::string> args = {strExe, "--records", request.strTarget};
    for (const auto& flag : {std::make_pair("--since", request.strSince), std::make_pair("--until", request.strUntil),
                             std::make_pair("--result", request.strResult), std::make_pair("--format", strFormat)})
        if (!flag.second.empty())
            args.insert(args.end(), {flag.first, flag.second});
    std::vector<char*> argv;
    for (std::string& s : args)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    std::fflush(stdout);
    setenv("ZT9047Q_EXPORT_AS", "zt9047q-flash", 1);
    execv(argv[0], argv.data());
    std::fprintf(stderr, "zt9047q-flash: cannot start %s: %s\n", strExe.c_str(), std::strerror(errno));
    return 1;
}

CForwarderLink::~CForwarderLink()
{
    Finish(Clock::now(), true);
}

CForwarderLink::EStart CForwarderLink::Start(const std::string& strExe, const std::string& strUrl,
                                             const std::string& strSpool, int nWaitMs,
                                             const std::function<bool()>& stop, std::string* pWhy)
{
    // Its input a socket, so that a nudge to a forwarder that has died
    // fails with EPIPE instead of a signal.
    int in[2], out[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) {
        *pWhy = std::string("cannot start zt9047q-forward: ") + std::strerror(errno);
        return kRefused;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        *pWhy = std::string("cannot start zt9047q-forward: ") + std::strerror(errno);
        close(in[0]);
        close(in[1]);
        return kRefused;
    }
    // Everything the child needs, built before the fork: after it only
    // async-signal-safe calls.
    const std::string strEnv = std::string(kForwardUrlVariable) + "=" + strUrl;
    std::vector<std::string> env;
    for (char** p = environ; *p; ++p)
        if (std::strncmp(*p, kForwardUrlVariable, std::strlen(kForwardUrlVariable)) != 0)
            env.push_back(*p);
    env.push_back(strEnv);
    std::vector<char*> envp;
    for (std::string& s : env)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::vector<std::string> args = {strExe, "--station", "--spool", strSpool};
    std::vector<char*> argv;
    for (std::string& s : args)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        // Nothing of the station (its store, a port) beyond the three.
        syscall(SYS_close_range, 3u, ~0u, 0u);
        signal(SIGPIPE, SIG_DFL);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        *pWhy = std::string("cannot start zt9047q-forward: ") + std::strerror(errno);
        close(in[1]);
        close(out[0]);
        return kRefused;
    }
    m_pid = pid;
    m_fdIn = in[1];
    m_fdOut = out[0];

    std::string strLine;
    EStart eStart = kUnreachable;
    if (!ReadLine(nWaitMs, stop, &strLine)) {
        *pWhy = strLine.empty() ? "records server: no answer within " + std::to_string(nWaitMs / 1000) + " s" : strLine;
    } else if (strLine == "ready") {
        eStart = kReady;
    } else {
        const size_t nTab = strLine.find('\t');
        const std::string strKind = strLine.substr(0, nTab);
        *pWhy = nTab == std::string::npos ? strLine : strLine.substr(nTab + 1);
        eStart = strKind == "refused" ? kRefused : kUnreachable;
    }
    if (m_bEnded)
        eStart = kRefused;
    if (eStart == kRefused || (stop && stop())) {
        Finish(Clock::now(), true);
        return kRefused;
    }
    m_reader = std::thread([this] { ReadReports(); });
    return eStart;
}

bool CForwarderLink::ReadLine(int nWaitMs, const std::function<bool()>& stop, std::string* pLine)
{
    const auto until = Clock::now() + std::chrono::milliseconds(nWaitMs);
    for (;;) {
        const size_t nNewline = m_strPartial.find('\n');
        if (nNewline != std::string::npos) {
            *pLine = m_strPartial.substr(0, nNewline);
            m_strPartial.erase(0, nNewline + 1);
            return true;
        }
        if (stop && stop()) {
            *pLine = "stopped before the records server answered";
            return false;
        }
        const int nLeft = MsUntil(until);
        if (nLeft == 0)
            return false;
        struct pollfd pfd = {m_fdOut, POLLIN, 0};
        // Short steps, so that a stop request is seen at once.
        if (poll(&pfd, 1, nLeft < 50 ? nLeft : 50) <= 0)
            continue;
        char buf[512];
        const ssize_t n = read(m_fdOut, buf, sizeof buf);
        if (n > 0) {
            m_strPartial.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            *pLine = "zt9047q-forward ended before it reported";
            m_bEnded = true;
            return false;
        }
    }
}

void CForwarderLink::ReadReports()
{
    std::string strLine;
    for (;;) {
        while (true) {
            const size_t nNewline = m_strPartial.find('\n');
            if (nNewline == std::string::npos)
                break;
            strLine = m_strPartial.substr(0, nNewline);
            m_strPartial.erase(0, nNewline + 1);
            if (strLine.rfind("fault\t", 0) == 0) {
                std::lock_guard<std::mutex> lk(m_lock);
                m_strFault = strLine.substr(6);
            }
        }
        char buf[512];
        const ssize_t n = read(m_fdOut, buf, sizeof buf);
        if (n > 0)
            m_strPartial.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            return;
    }
}

void CForwarderLink::Nudge()
{
    if (m_fdIn >= 0)
        (void)!send(m_fdIn, "\n", 1, MSG_NOSIGNAL | MSG_DONTWAIT); // a full buffer already holds a nudge
}

void CForwarderLink::Reap(int nWaitMs, const std::function<bool()>& stop)
{
    const auto until = Clock::now() + std::chrono::milliseconds(nWaitMs);
    for (;;) {
        int nStatus = 0;
        const pid_t r = waitpid(m_pid, &nStatus, WNOHANG);
        if (r == m_pid || (r < 0 && errno != EINTR)) {
            m_pid = -1;
            return;
        }
        if (Clock::now() >= until || (stop && stop()))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void CForwarderLink::Finish(Clock::time_point deadline, bool bHurry, const std::function<bool()>& stop)
{
    if (m_fdIn >= 0) {
        close(m_fdIn);
        m_fdIn = -1;
    }
    if (m_pid > 0) {
        // Stopped: a moment for the rows under way (a healthy server takes
        // them in milliseconds), never the whole wait.
        const auto grace = Clock::now() + std::chrono::milliseconds(kStopGraceMs);
        if (bHurry || (stop && stop())) {
            Reap(MsUntil(std::min(deadline, grace)));
        } else {
            Reap(MsUntil(deadline), stop);
            if (m_pid > 0 && stop && stop())
                Reap(MsUntil(std::min(deadline, Clock::now() + std::chrono::milliseconds(kStopGraceMs))));
        }
        if (m_pid > 0) {
            // Out of time: it cancels what the server is doing and ends.
            kill(m_pid, SIGTERM);
            Reap(300);
        }
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            Reap(1000);
        }
    }
    if (m_reader.joinable())
        m_reader.join();
    if (m_fdOut >= 0) {
        close(m_fdOut);
        m_fdOut = -1;
    }
}

std::string CForwarderLink::LastFault() const
{
    std::lock_guard<std::mutex> lk(m_lock);
    return m_strFault;
}

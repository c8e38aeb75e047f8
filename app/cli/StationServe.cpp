#include "StationServe.h"

#include "FlatJson.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{250};
constexpr std::chrono::milliseconds kLongestBackoff{8000};
// A page that lived this long had not been crashing: the next death starts
// the back-off afresh.
constexpr std::chrono::seconds kSteadyLife{30};
constexpr std::size_t kMaxPorts = 512;

bool IsLoopback(const std::string& a)
{
    if (a == "localhost" || a == "::1") return true;
    in_addr v4{};
    return inet_pton(AF_INET, a.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool IsWildcard(const std::string& a) { return a == "0.0.0.0" || a == "::"; }

std::string ProgramBesideThis(const char* pszName)
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) {
        std::string s(buf, static_cast<std::size_t>(n));
        std::string strPath = s.substr(0, s.rfind('/') + 1) + pszName;
        if (access(strPath.c_str(), X_OK) == 0) return strPath;
    }
    const char* pszPath = getenv("PATH");
    std::string strDirs = pszPath ? pszPath : "/usr/bin:/bin";
    std::size_t nStart = 0;
    while (nStart <= strDirs.size()) {
        std::size_t nEnd = strDirs.find(':', nStart);
        if (nEnd == std::string::npos) nEnd = strDirs.size();
        std::string strDir = strDirs.substr(nStart, nEnd - nStart);
        if (!strDir.empty()) {
            std::string strPath = strDir + "/" + pszName;
            if (access(strPath.c_str(), X_OK) == 0) return strPath;
        }
        nStart = nEnd + 1;
    }
    return "";
}

std::string Described(int nStatus)
{
    if (WIFSIGNALED(nStatus)) return std::string("killed by signal ") + std::to_string(WTERMSIG(nStatus));
    return "exit status " + std::to_string(WEXITSTATUS(nStatus));
}

} // namespace

bool ParseServeAddress(const std::string& strValue, SServeAddress* pAddress, std::string* pError)
{
    SServeAddress address;
    std::string strPort = strValue;
    size_t nColon = strValue.rfind(':');
    if (nColon != std::string::npos) {
        address.strAddress = strValue.substr(0, nColon);
        strPort = strValue.substr(nColon + 1);
        const std::string& a = address.strAddress;
        if (a.size() >= 2 && a.front() == '[' && a.back() == ']')
            address.strAddress = a.substr(1, a.size() - 2);
        else if (a.find(':') != std::string::npos) {
            *pError = "--serve: an IPv6 address goes in brackets, as [::1]:8047";
            return false;
        }
        if (address.strAddress.empty()) {
            *pError = "--serve: no address before ':' in '" + strValue + "'";
            return false;
        }
    }
    bool bDigits = !strPort.empty() && strPort.size() <= 5;
    for (char c : strPort)
        bDigits = bDigits && std::isdigit(static_cast<unsigned char>(c));
    if (!bDigits || std::stoi(strPort) > 65535) {
        *pError = "--serve takes [ADDR:]PORT with a port of 0 to 65535, not '" + strValue + "'";
        return false;
    }
    address.nPort = std::stoi(strPort);
    *pAddress = address;
    return true;
}

CStationPage::~CStationPage() { Stop(); }

bool CStationPage::Start(const SPageLaunch& launch, std::string& strError)
{
    m_launch = launch;
    const std::string& a = launch.address.strAddress;
    if (launch.strTokenFile.empty() && !IsLoopback(a)) {
        strError = "serving on " + a + " needs a token file (--serve-token FILE): "
                   "only the loopback address is served without one";
        return false;
    }
    m_strProgram = launch.strProgram.empty() ? ProgramBesideThis("zt9047q-page") : launch.strProgram;
    if (m_strProgram.empty()) {
        strError = "the page program zt9047q-page is neither beside this program nor on PATH";
        return false;
    }

    // The socket is the station's: bound once, before any unit, and handed
    // to every page process it starts.
    addrinfo hints{}, *pInfo = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    const std::string strHost = a == "localhost" ? "127.0.0.1" : a;
    if (getaddrinfo(strHost.c_str(), std::to_string(launch.address.nPort).c_str(), &hints, &pInfo) != 0 || !pInfo) {
        strError = "cannot listen on " + a + ": not an address of this machine";
        return false;
    }
    m_nListenFd = socket(pInfo->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(m_nListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (pInfo->ai_family == AF_INET6) setsockopt(m_nListenFd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    bool bBound = m_nListenFd >= 0 && bind(m_nListenFd, pInfo->ai_addr, pInfo->ai_addrlen) == 0 &&
                  listen(m_nListenFd, 64) == 0;
    int err = errno;
    freeaddrinfo(pInfo);
    if (!bBound) {
        strError = "cannot listen on " + a + ":" + std::to_string(launch.address.nPort) + ": " + std::strerror(err);
        if (m_nListenFd >= 0) close(m_nListenFd);
        m_nListenFd = -1;
        return false;
    }
    sockaddr_storage bound{};
    socklen_t nLen = sizeof bound;
    getsockname(m_nListenFd, reinterpret_cast<sockaddr*>(&bound), &nLen);
    m_nPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

    // The key of the page's session cookies: the same for every page this
    // station starts, so that a restart does not sign the browsers out.
    unsigned char raw[32];
    std::size_t nRaw = 0;
    while (nRaw < sizeof raw) {
        ssize_t got = getrandom(raw + nRaw, sizeof raw - nRaw, 0);
        if (got > 0) nRaw += static_cast<std::size_t>(got);
    }
    static const char hex[] = "0123456789abcdef";
    m_strSessionKey.clear();
    for (unsigned char c : raw) { m_strSessionKey += hex[c >> 4]; m_strSessionKey += hex[c & 15]; }

    if (!Spawn(strError)) {
        close(m_nListenFd);
        m_nListenFd = -1;
        return false;
    }
    m_bStop = false;
    m_writer = std::thread([this] { Writer(); });
    return true;
}

// Starts the page process and waits for its "ready" line; the page says on
// standard error itself why it could not start.
bool CStationPage::Spawn(std::string& strError)
{
    int feed[2], ready[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, feed) != 0) {
        strError = std::string("cannot start the page: ") + std::strerror(errno);
        return false;
    }
    if (pipe2(ready, O_CLOEXEC) != 0) {
        strError = std::string("cannot start the page: ") + std::strerror(errno);
        close(feed[0]);
        close(feed[1]);
        return false;
    }
    std::vector<std::string> args = {m_strProgram, "--listen-fd", "3", "--address", m_launch.address.strAddress};
    auto add = [&](const char* pszFlag, const std::string& strValue) {
        if (strValue.empty()) return;
        args.push_back(pszFlag);
        args.push_back(strValue);
    };
    add("--serve-token", m_launch.strTokenFile);
    add("--serve-cert", m_launch.strCertFile);
    add("--serve-key", m_launch.strKeyFile);
    add("--records", m_launch.strRecordsFile);
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** p = environ; *p; ++p)
        if (std::strncmp(*p, "ZT9047Q_PAGE_KEY=", 17) != 0) env.push_back(*p);
    env.push_back("ZT9047Q_PAGE_KEY=" + m_strSessionKey);
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(&s[0]);
    envp.push_back(nullptr);
    const pid_t parent = getpid();

    pid_t pid = fork();
    if (pid == 0) {
        // Only what is safe between fork and exec. The page gets its feed,
        // its ready line, the listening socket and standard error: no
        // serial port, no record store handle, nothing else.
        setsid();
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(feed[1], 0);
        dup2(ready[1], 1);
        dup2(m_nListenFd, 3);
        // dup2 onto itself keeps close-on-exec: cleared on each by hand.
        for (int fd : {0, 1, 3}) fcntl(fd, F_SETFD, 0);
        if (syscall(SYS_close_range, 4U, ~0U, 0U) != 0)
            for (int fd = 4; fd < 65536; ++fd) close(fd);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) signal(sig, SIG_DFL);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(feed[1]);
    close(ready[1]);
    if (pid < 0) {
        strError = std::string("cannot start the page: ") + std::strerror(errno);
        close(feed[0]);
        close(ready[0]);
        return false;
    }
    // "ready PORT", or the end of the pipe when it gave up.
    std::string strLine;
    auto deadline = std::chrono::steady_clock::now() + kStartWait;
    bool bReady = false;
    while (!bReady) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{ready[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char c;
        ssize_t n = read(ready[0], &c, 1);
        if (n <= 0) break;
        if (c == '\n') bReady = strLine.compare(0, 6, "ready ") == 0;
        else if (strLine.size() < 64) strLine += c;
    }
    close(ready[0]);
    if (!bReady) {
        kill(pid, SIGKILL);
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
        strError = "the page program " + m_strProgram + " did not start (" + Described(nStatus) + ")";
        close(feed[0]);
        return false;
    }
    fcntl(feed[0], F_SETFL, fcntl(feed[0], F_GETFL) | O_NONBLOCK);
    if (m_nFeedFd >= 0) close(m_nFeedFd);
    m_nFeedFd = feed[0];
    m_pid = pid;
    ++m_nStarts;
    return true;
}

std::vector<std::string> CStationPage::Urls() const
{
    const std::string strScheme = m_launch.strCertFile.empty() ? "http://" : "https://";
    const std::string strPort = ":" + std::to_string(m_nPort) + "/";
    const std::string& a = m_launch.address.strAddress;
    auto host = [](const std::string& h) { return h.find(':') != std::string::npos ? "[" + h + "]" : h; };
    if (!IsWildcard(a)) return {strScheme + host(a) + strPort};
    // 0.0.0.0 opens nowhere: the names it answers to.
    std::vector<std::string> urls;
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) == 0 && name[0]) urls.push_back(strScheme + name + strPort);
    ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) == 0) {
        for (ifaddrs* p = pList; p; p = p->ifa_next) {
            if (!p->ifa_addr) continue;
            int family = p->ifa_addr->sa_family;
            if (family != AF_INET && !(family == AF_INET6 && a == "::")) continue;
            char buf[INET6_ADDRSTRLEN] = "";
            const void* pAddr = family == AF_INET
                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr)
                : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(p->ifa_addr)->sin6_addr);
            inet_ntop(family, pAddr, buf, sizeof buf);
            std::string strUrl = strScheme + host(buf) + strPort;
            if (std::string(buf).compare(0, 5, "fe80:") != 0 &&
                std::find(urls.begin(), urls.end(), strUrl) == urls.end())
                urls.push_back(strUrl);
        }
        freeifaddrs(pList);
    }
    return urls;
}

void CStationPage::Event(const std::string& strJsonLine)
{
    std::string strLine = strJsonLine;
    if (strLine.empty() || strLine.back() != '\n') strLine += '\n';
    FlatFields fields;
    std::string strPort, strKind;
    if (ParseFlatObject(strLine.substr(0, strLine.size() - 1), fields)) {
        strPort = FlatRaw(fields, "port");
        strKind = FlatString(fields, "event");
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!strPort.empty() && !strKind.empty()) {
            auto& latest = m_latest[strPort];
            bool bEnded = std::any_of(latest.begin(), latest.end(), [](const auto& e) { return e.first == "end"; });
            if (bEnded && strKind != "end") latest.clear(); // the port's next run
            auto it = std::find_if(latest.begin(), latest.end(), [&](const auto& e) { return e.first == strKind; });
            if (it != latest.end()) it->second = strLine;
            else latest.emplace_back(strKind, strLine);
            if (m_latest.size() > kMaxPorts) m_latest.erase(m_latest.begin());
        }
        if (m_bBehind) {
            ++m_nDropped; // the latest state goes instead
        } else if (m_nQueued + strLine.size() > kMaxBacklogBytes) {
            // The page stopped reading: drop what waits, send the latest
            // state of every unit once it reads again.
            m_nDropped += m_queue.size() + 1;
            m_queue.clear();
            m_nQueued = 0;
            m_bBehind = true;
        } else {
            m_nQueued += strLine.size();
            m_queue.push_back(std::move(strLine));
        }
    }
    m_wake.notify_one();
}

void CStationPage::QueueResync()
{
    // Under m_lock.
    m_queue.clear();
    m_nQueued = 0;
    for (const auto& port : m_latest)
        for (const auto& e : port.second) {
            m_nQueued += e.second.size();
            m_queue.push_back(e.second);
        }
    m_bBehind = false;
}

void CStationPage::Writer()
{
    std::string strSending;
    std::size_t nSent = 0;
    auto backoff = kFirstBackoff;
    auto started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point restartAt{};
    bool bDead = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            if (strSending.size() == nSent) {
                strSending.clear();
                nSent = 0;
                m_wake.wait_for(lock, std::chrono::milliseconds(100),
                                [&] { return m_bStop || !m_queue.empty() || m_bBehind; });
                if (m_bStop) break;
                if (!bDead && m_bBehind && m_queue.empty()) QueueResync();
                // A batch per write: fewer calls on a busy bench.
                while (!bDead && !m_queue.empty() && strSending.size() < 65536) {
                    strSending += m_queue.front();
                    m_nQueued -= m_queue.front().size();
                    m_queue.pop_front();
                }
            } else if (m_bStop) {
                break;
            }
        }
        if (!bDead) {
            pid_t pid = m_pid;
            int nStatus = 0;
            if (waitpid(pid, &nStatus, WNOHANG) == pid) {
                bDead = true;
                m_pid = -1;
                if (!m_bStop)
                    m_say("zt9047q-flash: the station page stopped (" + Described(nStatus) +
                          "); the units go on, and the page is started again.");
                if (std::chrono::steady_clock::now() - started > kSteadyLife) backoff = kFirstBackoff;
                restartAt = std::chrono::steady_clock::now() + backoff;
                backoff = std::min(backoff * 2, kLongestBackoff);
                strSending.clear();
                nSent = 0;
                continue;
            }
        } else {
            if (m_bStop) break;
            if (std::chrono::steady_clock::now() < restartAt) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            std::string strError;
            if (Spawn(strError)) {
                bDead = false;
                started = std::chrono::steady_clock::now();
                // A new page knows nothing: the latest state of every unit.
                std::lock_guard<std::mutex> lock(m_lock);
                QueueResync();
            } else {
                restartAt = std::chrono::steady_clock::now() + backoff;
                backoff = std::min(backoff * 2, kLongestBackoff);
            }
            continue;
        }
        if (nSent < strSending.size()) {
            ssize_t n = send(m_nFeedFd, strSending.data() + nSent, strSending.size() - nSent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                nSent += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p{m_nFeedFd, POLLOUT, 0};
                poll(&p, 1, 100);
            } else if (n < 0 && errno != EINTR) {
                // The page is going: its death is seen above.
                strSending.clear();
                nSent = 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
    }
}

void CStationPage::Stop()
{
    if (!m_writer.joinable()) return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    // The page takes what is queued, for a moment at most.
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_queue.empty()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bStop = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    m_writer.join();
    // The end of its input ends the page; a page that does not end is
    // killed, so the station is gone within a second of its last unit.
    if (m_nFeedFd >= 0) shutdown(m_nFeedFd, SHUT_WR);
    pid_t pid = m_pid;
    if (pid > 0) {
        auto killAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
        int nStatus = 0;
        while (waitpid(pid, &nStatus, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= killAt) {
                kill(pid, SIGKILL);
                waitpid(pid, &nStatus, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    m_pid = -1;
    if (m_nFeedFd >= 0) close(m_nFeedFd);
    m_nFeedFd = -1;
    if (m_nListenFd >= 0) close(m_nListenFd);
    m_nListenFd = -1;
}

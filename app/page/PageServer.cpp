#include "PageServer.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

#include "FlatJson.h"
#include "PageAssets.h"
#include "PageRecords.h"
#include "Sha256.h"

namespace {

// A comment line on idle streams: keeps them open through proxies, and a
// write is the only way to notice a client that went away.
constexpr std::chrono::seconds kHeartbeat{1};
constexpr std::chrono::milliseconds kStreamPace{100}; // the page's events are at most this late
constexpr std::size_t kMaxEventBytes = 64 * 1024;
constexpr std::size_t kStreamBlock = 16 * 1024;

struct SAnswer
{
    unsigned nStatus = 200;
    std::string strType = "application/json";
    std::string strBody;
    std::vector<std::pair<std::string, std::string>> headers;
    bool bClose = false;
};

SAnswer Error(unsigned nStatus, const std::string& strText)
{
    SAnswer a;
    a.nStatus = nStatus;
    a.strBody = "{\"error\":" + JsonQuote(strText) + "}";
    return a;
}

// Every response: nothing from elsewhere, no inline script, no sniffing,
// no framing, nothing cached.
void AddSafetyHeaders(MHD_Response* r)
{
    MHD_add_response_header(r, "Content-Security-Policy",
                            "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                            "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "X-Frame-Options", "DENY");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(r, "Cache-Control", "no-store");
}

MHD_Result Send(MHD_Connection* c, const SAnswer& a, bool bHead)
{
    MHD_Response* r = MHD_create_response_from_buffer(a.strBody.size(), const_cast<char*>(a.strBody.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    (void)bHead; // the library leaves the body out of a HEAD answer itself
    AddSafetyHeaders(r);
    MHD_add_response_header(r, "Content-Type", a.strType.c_str());
    for (const auto& h : a.headers) MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
    if (a.bClose) MHD_add_response_header(r, "Connection", "close");
    MHD_Result ret = MHD_queue_response(c, a.nStatus, r);
    MHD_destroy_response(r);
    return ret;
}

std::string UtcDay(std::time_t t)
{
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

std::string CountsJson(const SRecordCounts& c)
{
    return "{\"completed\":" + std::to_string(c.nCompleted) + ",\"not_verified\":" + std::to_string(c.nNotVerified) +
           ",\"failed\":" + std::to_string(c.nFailed) + "}";
}

// Equal in time whatever the first difference, so the secret cannot be
// guessed a character at a time.
bool SameSecret(const std::string& given, const std::string& secret)
{
    if (secret.empty()) return false;
    unsigned char diff = given.size() == secret.size() ? 0 : 1;
    for (std::size_t i = 0; i < secret.size(); ++i)
        diff |= static_cast<unsigned char>((i < given.size() ? given[i] : 0) ^ secret[i]);
    return diff == 0;
}

std::string RandomHex(std::size_t nBytes)
{
    std::string raw(nBytes, '\0');
    std::size_t n = 0;
    while (n < nBytes) {
        ssize_t got = getrandom(&raw[n], nBytes - n, 0);
        if (got > 0) n += static_cast<std::size_t>(got);
    }
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : raw) { s += hex[c >> 4]; s += hex[c & 15]; }
    return s;
}

const char* Value(MHD_Connection* c, MHD_ValueKind kind, const char* pszKey)
{
    return MHD_lookup_connection_value(c, kind, pszKey);
}

std::string ClientAddress(MHD_Connection* c)
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr) return "";
    char buf[INET6_ADDRSTRLEN] = "";
    const sockaddr* sa = info->client_addr;
    if (sa->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, buf, sizeof buf);
    else if (sa->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, buf, sizeof buf);
    return buf;
}

// Takes a place among the record queries, or none when they are all busy.
class CQuerySlot
{
public:
    CQuerySlot(std::atomic<int>& n, int nMax) : m_n(n)
    {
        m_bHeld = m_n.fetch_add(1) < nMax;
        if (!m_bHeld) m_n.fetch_sub(1);
    }
    ~CQuerySlot() { if (m_bHeld) m_n.fetch_sub(1); }
    explicit operator bool() const { return m_bHeld; }
    void Release() { m_bHeld = false; } // handed on to a stream
private:
    std::atomic<int>& m_n;
    bool m_bHeld;
};

SAnswer Busy()
{
    SAnswer a = Error(503, "the records are busy: try again in a second");
    a.headers.emplace_back("Retry-After", "1");
    return a;
}

// An /events stream: reads its client's queue, paced.
struct SStream
{
    CEventFanout* pFanout;
    CEventFanout::Client client;
    std::string strPending;
    std::size_t nPendingAt = 0;
    bool bStarted = false;
    std::chrono::steady_clock::time_point lastWrite;
};

ssize_t StreamRead(void* cls, uint64_t, char* buf, size_t max)
{
    SStream& s = *static_cast<SStream*>(cls);
    if (s.nPendingAt >= s.strPending.size()) {
        s.strPending.clear();
        s.nPendingAt = 0;
        if (!s.bStarted) {
            s.bStarted = true;
            // Reconnect soon after the station comes back.
            s.strPending = "retry: 2000\n: connected\n\n";
        } else {
            // One write per client every kStreamPace at most: a busy bench
            // sends a batch, not a write per event per client.
            auto next = s.lastWrite + kStreamPace;
            if (std::chrono::steady_clock::now() < next) std::this_thread::sleep_until(next);
            std::deque<CEventFanout::Frame> frames;
            if (!s.pFanout->Take(s.client, frames, kHeartbeat)) return MHD_CONTENT_READER_END_OF_STREAM;
            if (frames.empty()) s.strPending = ":\n\n";
            for (const auto& f : frames) s.strPending += *f;
        }
        s.lastWrite = std::chrono::steady_clock::now();
    }
    std::size_t n = std::min(max, s.strPending.size() - s.nPendingAt);
    std::memcpy(buf, s.strPending.data() + s.nPendingAt, n);
    s.nPendingAt += n;
    return static_cast<ssize_t>(n);
}

void StreamFree(void* cls)
{
    SStream* s = static_cast<SStream*>(cls);
    s->pFanout->Unsubscribe(s->client);
    delete s;
}

// The day's CSV, read from the store as the client takes it.
struct SCsvStream
{
    std::unique_ptr<ICsvCursor> cursor;
    std::atomic<int>* pQueries;
    std::string strPending;
    std::size_t nPendingAt = 0;
    bool bDone = false;
};

ssize_t CsvRead(void* cls, uint64_t, char* buf, size_t max)
{
    SCsvStream& s = *static_cast<SCsvStream*>(cls);
    if (s.nPendingAt >= s.strPending.size()) {
        s.strPending.clear();
        s.nPendingAt = 0;
        if (s.bDone || !s.cursor->Next(s.strPending, kStreamBlock)) {
            s.bDone = true;
            // A store that fails half-way ends the answer short of its end:
            // an error, not a shorter day.
            return s.cursor->Error().empty() ? MHD_CONTENT_READER_END_OF_STREAM
                                             : MHD_CONTENT_READER_END_WITH_ERROR;
        }
    }
    std::size_t n = std::min(max, s.strPending.size() - s.nPendingAt);
    std::memcpy(buf, s.strPending.data() + s.nPendingAt, n);
    s.nPendingAt += n;
    return static_cast<ssize_t>(n);
}

void CsvFree(void* cls)
{
    SCsvStream* s = static_cast<SCsvStream*>(cls);
    s->pQueries->fetch_sub(1);
    delete s;
}

// A request's own state, made when its request line arrives.
struct SRequest
{
    bool bSeen = false;     // the handler was called for its headers
    bool bRefused = false;  // answered before its body
    bool bToken = false;
    std::string strToken;   // ?token= as sent: %XX decoded, '+' a plus
};

int HexDigit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The library reads a '+' in a query as a space, as HTML forms write it;
// the token is taken from the request line itself, so that a '+' stays the
// plus the token file has.
void* OnUri(void*, const char* pszUri, MHD_Connection*)
{
    auto* r = new SRequest;
    const char* q = pszUri ? std::strchr(pszUri, '?') : nullptr;
    while (q && *q) {
        ++q;
        const char* end = std::strchr(q, '&');
        std::string part(q, end ? static_cast<size_t>(end - q) : std::strlen(q));
        if (part.compare(0, 6, "token=") == 0 && !r->bToken) {
            r->bToken = true;
            for (size_t i = 6; i < part.size(); ++i) {
                if (part[i] == '%' && i + 2 < part.size() + 0 && HexDigit(part[i + 1]) >= 0 && HexDigit(part[i + 2]) >= 0) {
                    r->strToken += static_cast<char>(HexDigit(part[i + 1]) * 16 + HexDigit(part[i + 2]));
                    i += 2;
                } else {
                    r->strToken += part[i];
                }
            }
        }
        q = end;
    }
    return r;
}

MHD_Result OnAccept(void* cls, const sockaddr* addr, socklen_t)
{
    char buf[INET6_ADDRSTRLEN] = "";
    if (addr->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, buf, sizeof buf);
    else if (addr->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, buf, sizeof buf);
    return static_cast<CPageServer*>(cls)->AllowConnection(buf) ? MHD_YES : MHD_NO;
}

MHD_Result OnRequest(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                     const char*, size_t* pnUpload, void** ppState)
{
    return static_cast<CPageServer*>(cls)->Handle(c, url, method, pnUpload, ppState) ? MHD_YES : MHD_NO;
}

void OnConnection(void* cls, MHD_Connection* c, void** ppSocketState, MHD_ConnectionNotificationCode code)
{
    auto* p = static_cast<CPageServer*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) p->Connected(c, ppSocketState);
    else p->Disconnected(ppSocketState);
}

void OnCompleted(void* cls, MHD_Connection* c, void** ppState, MHD_RequestTerminationCode)
{
    delete static_cast<SRequest*>(*ppState);
    *ppState = nullptr;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info) static_cast<CPageServer*>(cls)->Answered(info->socket_context);
}

} // namespace

// A connection as the watchdog sees it: since when it waits for a whole
// request, and whether one is being answered.
struct CPageServer::SConn
{
    int fd = -1;
    std::chrono::steady_clock::time_point since;
    bool bAnswering = false;
};

CPageServer::CPageServer() = default;

CPageServer::~CPageServer() { Stop(); }

bool CPageServer::IsLoopback(const std::string& strAddress)
{
    if (strAddress == "localhost" || strAddress == "::1") return true;
    in_addr a{};
    return inet_pton(AF_INET, strAddress.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

bool CPageServer::ReadToken(const std::string& strFile, std::string& strToken, std::string& strError)
{
    std::ifstream in(strFile, std::ios::binary);
    if (!in) {
        strError = "cannot read the token file " + strFile + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buf[512];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<std::size_t>(in.gcount()));
        if (text.size() > 4096) break; // no token is that long
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    bool bOk = text.size() >= 16 && text.size() <= 256;
    for (unsigned char c : text) bOk = bOk && c >= 0x20 && c < 0x7f;
    if (!bOk) {
        strError = "the token file " + strFile + " must hold one token of 16 to 256 printable characters";
        return false;
    }
    strToken = text;
    return true;
}

bool CPageServer::Start(const SPageOptions& options, std::string& strError)
{
    if (m_pDaemon) { strError = "the station page is already running"; return false; }
    if (options.strToken.empty() && !IsLoopback(options.strAddress)) {
        strError = "serving on " + options.strAddress + " needs a token file (--serve-token FILE): "
                   "only the loopback address is served without one";
        return false;
    }
    m_options = options;
    if (m_options.strSessionKey.empty()) m_options.strSessionKey = RandomHex(32);
    const bool bTls = !options.strCertPem.empty() && !options.strKeyPem.empty();

    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL_INTERNAL_THREAD;
    if (bTls) flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> opts = {
        // The pool of a connection holds its request line and headers (and
        // the answer's headers): past it, the library refuses the request
        // without taking more memory; past kMaxRequestBytes, the handler does.
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(2 * kMaxRequestBytes), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_INCREMENT, 1024, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxPerAddress, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, nullptr},
        {MHD_OPTION_THREAD_STACK_SIZE, 256 * 1024, nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&OnConnection), this},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&OnCompleted), this},
        {MHD_OPTION_STRICT_FOR_CLIENT, 1, nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&OnUri), nullptr},
    };
    sockaddr_storage addr{};
    if (options.nListenFd >= 0) {
        opts.push_back({MHD_OPTION_LISTEN_SOCKET, options.nListenFd, nullptr});
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
        std::string strHost = options.strAddress == "localhost" ? "127.0.0.1" : options.strAddress;
        if (inet_pton(AF_INET, strHost.c_str(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<uint16_t>(options.nPort));
        } else if (inet_pton(AF_INET6, strHost.c_str(), &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<uint16_t>(options.nPort));
            flags |= MHD_USE_IPv6;
        } else {
            strError = "cannot listen on " + options.strAddress + ": not an IP address";
            return false;
        }
        opts.push_back({MHD_OPTION_SOCK_ADDR, 0, &addr});
    }
    if (bTls) {
        opts.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(options.strKeyPem.c_str())});
        opts.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(options.strCertPem.c_str())});
    }
    opts.push_back({MHD_OPTION_END, 0, nullptr});

    m_bStopping = false;
    m_fanout.Reopen();
    errno = 0;
    m_pDaemon = MHD_start_daemon(flags, static_cast<uint16_t>(options.nPort), &OnAccept, this, &OnRequest, this,
                                 MHD_OPTION_ARRAY, opts.data(), MHD_OPTION_END);
    if (!m_pDaemon) {
        int err = errno;
        strError = "cannot listen on " + options.strAddress + ":" + std::to_string(options.nPort) +
                   (bTls ? " (or the certificate and key do not form a pair)" : "") +
                   (err ? std::string(": ") + std::strerror(err) : std::string());
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_pDaemon, MHD_DAEMON_INFO_BIND_PORT);
    m_nPort = info ? info->port : options.nPort;
    m_strCookie = "zt9047q_session_" + std::to_string(m_nPort);
    m_watchdog = std::thread([this] { Watchdog(); });
    return true;
}

void CPageServer::Stop()
{
    if (!m_pDaemon) return;
    m_bStopping = true;
    m_fanout.Close(); // streams end, so their threads are free to join
    {
        // Every client at once, whatever it is doing.
        std::lock_guard<std::mutex> lock(m_lock);
        for (SConn* p : m_conns) shutdown(p->fd, SHUT_RDWR);
    }
    if (m_watchdog.joinable()) m_watchdog.join();
    MHD_stop_daemon(m_pDaemon);
    m_pDaemon = nullptr;
}

std::size_t CPageServer::Connections() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_conns.size();
}

void CPageServer::Connected(MHD_Connection* pConn, void** ppSocketState)
{
    auto* p = new SConn;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(pConn, MHD_CONNECTION_INFO_CONNECTION_FD);
    p->fd = info ? info->connect_fd : -1;
    p->since = std::chrono::steady_clock::now();
    // Small answers go out at once, not after the peer's delayed ACK.
    int one = 1;
    setsockopt(p->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(m_lock);
    m_conns.insert(p);
    *ppSocketState = p;
}

void CPageServer::Disconnected(void** ppSocketState)
{
    auto* p = static_cast<SConn*>(*ppSocketState);
    if (!p) return;
    std::lock_guard<std::mutex> lock(m_lock);
    m_conns.erase(p);
    delete p;
    *ppSocketState = nullptr;
}

void CPageServer::Answered(void* pSocketState)
{
    auto* p = static_cast<SConn*>(pSocketState);
    if (!p) return;
    std::lock_guard<std::mutex> lock(m_lock);
    p->bAnswering = false;
    p->since = std::chrono::steady_clock::now();
}

// A request must be whole within its deadline from the connection (or of
// the last answer on it): a client that trickles its headers is cut off,
// however steadily it trickles.
void CPageServer::Watchdog()
{
    while (!m_bStopping) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(m_lock);
        for (SConn* p : m_conns)
            if (!p->bAnswering && now - p->since > m_options.requestDeadline) {
                shutdown(p->fd, SHUT_RDWR);
                p->since = now; // once is enough
            }
    }
}

bool CPageServer::HostAllowed(const std::string& strHost) const
{
    std::string h = strHost;
    // The port, when given, is ours.
    std::size_t nColon = h.rfind(':');
    if (nColon != std::string::npos && h.find(']', nColon) == std::string::npos) {
        if (h.substr(nColon + 1) != std::to_string(m_nPort)) return false;
        h = h.substr(0, nColon);
    }
    for (char& c : h) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const std::string& a = m_options.strAddress;
    bool bV6 = a.find(':') != std::string::npos;
    return h == "localhost" || h == "127.0.0.1" || h == "[::1]" || h == (bV6 ? "[" + a + "]" : a);
}


// A keyed hash of the nonce (HMAC over SHA-256): only a holder of the key
// makes a session value the page takes.
std::string CPageServer::Sign(const std::string& strNonce) const
{
    std::string key = m_options.strSessionKey;
    key.resize(64, '\0');
    std::string inner = key, outer = key;
    for (char& c : inner) c = static_cast<char>(c ^ 0x36);
    for (char& c : outer) c = static_cast<char>(c ^ 0x5c);
    inner += strNonce;
    outer += Sha256Hex(inner.data(), inner.size());
    return Sha256Hex(outer.data(), outer.size());
}

// A random nonce and its signature: any page of this station knows it, and
// nothing in it is the token.
std::string CPageServer::NewSession()
{
    std::string strNonce = RandomHex(16);
    return strNonce + Sign(strNonce);
}

bool CPageServer::KnownSession(const std::string& strValue)
{
    if (strValue.size() != 32 + 64) return false;
    return SameSecret(strValue.substr(32), Sign(strValue.substr(0, 32)));
}

// Requests per client address: a bucket of kBurst that refills at kRate a
// second. A page load and its stream take about eight.
bool CPageServer::AllowRate(const std::string& strAddress)
{
    return Take(m_buckets, strAddress, 240, 60);
}

// New connections per client address: a client that is cut off and comes
// straight back (a header flood, a slow client) is refused at the accept,
// before it costs a thread. A browser opens a few. Before the refusal the
// accepting thread waits one refill: a refusal at once would send such a
// client round its loop of connect, send and reset as fast as the machine
// can go, and on a shared machine that loop's own CPU is taken from the
// units; while the page waits, its connections wait in the kernel's queue.
bool CPageServer::AllowConnection(const std::string& strAddress)
{
    const double kBurst = 60, kRate = 20;
    if (Take(m_connectionBuckets, strAddress, kBurst, kRate)) return true;
    if (m_bStopping) return false;
    std::this_thread::sleep_for(std::chrono::duration<double>(1.0 / kRate));
    return Take(m_connectionBuckets, strAddress, kBurst, kRate);
}

bool CPageServer::Take(std::map<std::string, SBucket>& buckets, const std::string& strAddress, double kBurst,
                       double kRate)
{
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_lock);
    if (buckets.size() > 4096) buckets.clear(); // bounded: forget everyone at worst
    auto it = buckets.find(strAddress);
    if (it == buckets.end()) it = buckets.emplace(strAddress, SBucket{kBurst, now}).first;
    SBucket& b = it->second;
    b.tokens = std::min(kBurst, b.tokens + kRate * std::chrono::duration<double>(now - b.last).count());
    b.last = now;
    if (b.tokens < 1) return false;
    b.tokens -= 1;
    return true;
}

void CPageServer::Event(const std::string& strJsonLine)
{
    // A line that could break the stream's framing is no station event.
    if (strJsonLine.size() > kMaxEventBytes || strJsonLine.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        return;
    if (!m_board.Apply(strJsonLine)) return;
    m_fanout.Publish("data: " + strJsonLine + "\n\n");
}

int CPageServer::Handle(MHD_Connection* c, const char* pszUrl, const char* pszMethod, std::size_t* pnUpload,
                        void** ppState)
{
    const std::string strMethod = pszMethod, strPath = pszUrl;
    const bool bHead = strMethod == "HEAD";
    {
        const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        SConn* p = info ? static_cast<SConn*>(info->socket_context) : nullptr;
        if (p) {
            std::lock_guard<std::mutex> lock(m_lock);
            p->bAnswering = true;
        }
    }
    // The first call has the headers: a request with a body is refused
    // before the body is read (and the connection closed); any other is
    // answered on the next call, which lets the connection be kept alive.
    if (!*ppState) *ppState = new SRequest; // not seen by the request line's callback
    SRequest& req = *static_cast<SRequest*>(*ppState);
    if (!req.bSeen) {
        req.bSeen = true;
        if (strMethod != "GET" && !bHead) {
            req.bRefused = true;
            SAnswer a = Error(405, "read-only: only GET and HEAD");
            a.headers.emplace_back("Allow", "GET, HEAD");
            a.bClose = true;
            return Send(c, a, bHead);
        }
        if (Value(c, MHD_HEADER_KIND, "Content-Length") || Value(c, MHD_HEADER_KIND, "Transfer-Encoding")) {
            req.bRefused = true;
            SAnswer a = Error(413, "request too large");
            a.bClose = true;
            return Send(c, a, bHead);
        }
        return MHD_YES;
    }
    if (req.bRefused || *pnUpload) {
        *pnUpload = 0;
        return MHD_YES;
    }
    std::size_t nRequestBytes = strMethod.size() + strPath.size() + 12;
    MHD_get_connection_values(c, static_cast<MHD_ValueKind>(MHD_HEADER_KIND | MHD_GET_ARGUMENT_KIND),
                              [](void* cls, MHD_ValueKind, const char* k, const char* v) {
                                  *static_cast<std::size_t*>(cls) += std::strlen(k) + (v ? std::strlen(v) : 0) + 4;
                                  return MHD_YES;
                              }, &nRequestBytes);
    if (nRequestBytes > kMaxRequestBytes) {
        SAnswer a = Error(431, "request too large");
        a.bClose = true;
        return Send(c, a, bHead);
    }
    if (!AllowRate(ClientAddress(c))) {
        SAnswer a = Error(429, "too many requests");
        a.headers.emplace_back("Retry-After", "1");
        return Send(c, a, bHead);
    }
    std::string strSetCookie;
    if (m_options.strToken.empty()) {
        // Only names of this machine: a page elsewhere whose name was made to
        // point here (DNS rebinding) reads nothing.
        const char* pszHost = Value(c, MHD_HEADER_KIND, "Host");
        if (!pszHost || !HostAllowed(pszHost))
            return Send(c, Error(421, "this server answers only for its own address"), bHead);
    } else {
        const char* pszAuth = Value(c, MHD_HEADER_KIND, "Authorization");
        const char* pszQuery = req.bToken ? req.strToken.c_str() : nullptr;
        const char* pszCookie = Value(c, MHD_COOKIE_KIND, m_strCookie.c_str());
        bool bOk = false;
        if (pszAuth && std::strncmp(pszAuth, "Bearer ", 7) == 0) bOk = SameSecret(pszAuth + 7, m_options.strToken);
        else if (pszQuery) bOk = SameSecret(pszQuery, m_options.strToken);
        else if (pszCookie) bOk = KnownSession(pszCookie);
        if (!bOk) {
            SAnswer a = Error(401, "a valid token is required");
            a.headers.emplace_back("WWW-Authenticate", "Bearer");
            return Send(c, a, bHead);
        }
        if (pszQuery && !(pszAuth && std::strncmp(pszAuth, "Bearer ", 7) == 0)) {
            // Taken once from the address: the browser keeps a session value
            // of its own (never the token) that scripts cannot read, and the
            // address loses the token.
            strSetCookie = m_strCookie + "=" + NewSession() + "; Path=/; HttpOnly; SameSite=Strict" +
                           (m_options.strCertPem.empty() ? "" : "; Secure");
            if (strPath == "/") {
                SAnswer a;
                a.nStatus = 303;
                a.headers = {{"Location", "/"}, {"Set-Cookie", strSetCookie}};
                return Send(c, a, bHead);
            }
        }
    }

    SAnswer a;
    if (!strSetCookie.empty()) a.headers.emplace_back("Set-Cookie", strSetCookie);
    auto send = [&](SAnswer answer) {
        if (!strSetCookie.empty()) answer.headers.emplace_back("Set-Cookie", strSetCookie);
        return Send(c, answer, bHead);
    };

    if (strPath == "/" || strPath == "/app.js" || strPath == "/style.css") {
        a.strType = strPath == "/" ? "text/html; charset=utf-8"
                  : strPath == "/app.js" ? "text/javascript; charset=utf-8" : "text/css; charset=utf-8";
        a.strBody = strPath == "/" ? PageHtml() : strPath == "/app.js" ? PageScript() : PageStyle();
        return Send(c, a, bHead);
    }
    if (strPath == "/api/units") {
        a.strBody = m_board.UnitsJson();
        return Send(c, a, bHead);
    }
    if (strPath == "/api/summary") {
        std::string strDay = UtcDay(std::time(nullptr));
        std::string strToday = "null", strError;
        if (IRecordSource* pRecords = m_pRecords) {
            CQuerySlot slot(m_nRecordQueries, kMaxRecordQueries);
            if (!slot) return send(Busy());
            SRecordCounts counts;
            if (pRecords->DayCounts(strDay, counts, strError)) strToday = CountsJson(counts);
            else a.nStatus = 503;
        }
        a.strBody = "{\"day\":\"" + strDay + "\",\"session\":" + CountsJson(m_board.SessionCounts()) +
                    ",\"today\":" + strToday + (strError.empty() ? "" : ",\"error\":" + JsonQuote(strError)) + "}";
        return Send(c, a, bHead);
    }
    if (strPath == "/api/records") {
        IRecordSource* pRecords = m_pRecords;
        if (!pRecords) return send(Error(503, "no record store"));
        const char* pszSince = Value(c, MHD_GET_ARGUMENT_KIND, "since");
        std::string strSince;
        if (pszSince && *pszSince) {
            std::string s = pszSince;
            bool bOk = s.size() >= 10 && s.size() <= 40 && IsCalendarDay(s.substr(0, 10)) &&
                       s.find_first_not_of("0123456789-:.TZ") == std::string::npos &&
                       (s.size() == 10 || s[10] == 'T');
            if (!bOk) return send(Error(400, "since: an ISO 8601 UTC time such as 2026-03-01T00:00:00Z"));
            strSince = s;
        }
        std::size_t nLimit = 50;
        if (const char* pszLimit = Value(c, MHD_GET_ARGUMENT_KIND, "limit")) {
            std::string s = pszLimit;
            if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(s) == 0 || std::stoul(s) > kMaxRecordLimit)
                return send(Error(400, "limit: 1 to " + std::to_string(kMaxRecordLimit)));
            nLimit = std::stoul(s);
        }
        CQuerySlot slot(m_nRecordQueries, kMaxRecordQueries);
        if (!slot) return send(Busy());
        std::string strError;
        if (!pRecords->RecordsJson(strSince, nLimit, a.strBody, strError)) return send(Error(503, strError));
        return Send(c, a, bHead);
    }
    if (strPath == "/records.csv") {
        IRecordSource* pRecords = m_pRecords;
        if (!pRecords) return send(Error(503, "no record store"));
        const char* pszDay = Value(c, MHD_GET_ARGUMENT_KIND, "day");
        std::string strDay = pszDay ? pszDay : UtcDay(std::time(nullptr));
        if (!IsCalendarDay(strDay)) return send(Error(400, "day: a date as YYYY-MM-DD"));
        CQuerySlot slot(m_nRecordQueries, kMaxRecordQueries);
        if (!slot) return send(Busy());
        std::string strError;
        std::unique_ptr<ICsvCursor> cursor = pRecords->DayCsv(strDay, strError);
        if (!cursor) return send(Error(503, strError));
        auto* s = new SCsvStream;
        s->cursor = std::move(cursor);
        s->pQueries = &m_nRecordQueries;
        slot.Release(); // the stream holds it until it is freed
        MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, &CsvRead, s, &CsvFree);
        if (!r) { CsvFree(s); return MHD_NO; }
        AddSafetyHeaders(r);
        MHD_add_response_header(r, "Content-Type", "text/csv; charset=utf-8");
        MHD_add_response_header(r, "Content-Disposition",
                                ("attachment; filename=\"zt9047q-records-" + strDay + ".csv\"").c_str());
        if (!strSetCookie.empty()) MHD_add_response_header(r, "Set-Cookie", strSetCookie.c_str());
        MHD_Result ret = MHD_queue_response(c, 200, r);
        MHD_destroy_response(r);
        return ret;
    }
    if (strPath == "/events") {
        if (bHead) {
            a.strType = "text/event-stream";
            return Send(c, a, bHead);
        }
        CEventFanout::Client client = m_fanout.Subscribe();
        if (!client) return send(Error(503, "too many clients (at most " + std::to_string(kMaxClients) + ")"));
        auto* s = new SStream{&m_fanout, client, {}, 0, false, {}};
        MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, &StreamRead, s, &StreamFree);
        if (!r) { StreamFree(s); return MHD_NO; }
        AddSafetyHeaders(r);
        MHD_add_response_header(r, "Content-Type", "text/event-stream");
        MHD_add_response_header(r, "X-Accel-Buffering", "no");
        if (!strSetCookie.empty()) MHD_add_response_header(r, "Set-Cookie", strSetCookie.c_str());
        MHD_Result ret = MHD_queue_response(c, 200, r);
        MHD_destroy_response(r);
        return ret;
    }
    return send(Error(404, "not found"));
}

#include "StationWeb.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "PageAssets.h"

namespace {

constexpr std::size_t kSpareThreads = 8;     // for requests besides the streams
// A comment line on idle streams: keeps them open through proxies, and a
// write is the only way to notice a client that went away.
constexpr int kHeartbeatSeconds = 1;
constexpr std::chrono::milliseconds kStreamPace{100}; // the page's events are at most this late
constexpr std::size_t kMaxEventBytes = 64 * 1024;
constexpr const char* kCookie = "zt9047q_token";

// Every response: nothing from elsewhere, no inline script, no sniffing,
// no framing, nothing cached.
httplib::Headers SafetyHeaders()
{
    return {
        {"Content-Security-Policy",
         "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
         "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
    };
}

void JsonError(httplib::Response& res, int status, const std::string& strText)
{
    res.status = status;
    res.set_content("{\"error\":" + JsonQuote(strText) + "}", "application/json");
}

std::string UtcDay(std::time_t t)
{
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

bool IsDay(const std::string& s)
{
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

std::string CountsJson(const SRecordCounts& c)
{
    return "{\"completed\":" + std::to_string(c.nCompleted) + ",\"failed\":" + std::to_string(c.nFailed) + "}";
}

// Equal in time whatever the first difference, so the token cannot be
// guessed a character at a time.
bool SameSecret(const std::string& a, const std::string& b)
{
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    return diff == 0 && !b.empty();
}

std::string CookieValue(const std::string& strHeader, const std::string& strName)
{
    std::istringstream in(strHeader);
    std::string part;
    while (std::getline(in, part, ';')) {
        size_t b = part.find_first_not_of(' ');
        if (b == std::string::npos) continue;
        part = part.substr(b);
        if (part.compare(0, strName.size() + 1, strName + "=") == 0) return part.substr(strName.size() + 1);
    }
    return "";
}

// Requests per client address: a bucket of kBurst that refills at kRate a
// second. A page load and its stream take about eight.
class CRateLimit
{
public:
    bool Allow(const std::string& strAddress)
    {
        static constexpr double kBurst = 240, kRate = 60;
        auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_buckets.size() > 4096) m_buckets.clear(); // bounded: forget everyone at worst
        auto it = m_buckets.find(strAddress);
        if (it == m_buckets.end()) it = m_buckets.emplace(strAddress, SBucket{kBurst, now}).first;
        SBucket& b = it->second;
        b.tokens = std::min(kBurst, b.tokens + kRate * std::chrono::duration<double>(now - b.last).count());
        b.last = now;
        if (b.tokens < 1) return false;
        b.tokens -= 1;
        return true;
    }

private:
    struct SBucket { double tokens; std::chrono::steady_clock::time_point last; };
    std::mutex m_lock;
    std::unordered_map<std::string, SBucket> m_buckets;
};

} // namespace

class CStationWeb::CServer : public httplib::Server
{
public:
    CRateLimit rate;
};

CStationWeb::CStationWeb() = default;

CStationWeb::~CStationWeb() { Stop(); }

bool CStationWeb::IsLoopback(const std::string& strAddress)
{
    if (strAddress == "localhost" || strAddress == "::1") return true;
    in_addr a{};
    return inet_pton(AF_INET, strAddress.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

bool CStationWeb::Start(const std::string& strAddress, int nPort, const std::string& strTokenFile,
                        std::string& strError)
{
    if (m_pServer) { strError = "the station page is already running"; return false; }
    m_strToken.clear();
    if (!strTokenFile.empty()) {
        std::ifstream in(strTokenFile, std::ios::binary);
        if (!in) { strError = "cannot read the token file " + strTokenFile + ": " + std::strerror(errno); return false; }
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
        bool bPlain = text.size() >= 16 && text.size() <= 256;
        for (unsigned char c : text)
            bPlain = bPlain && (isalnum(c) || std::strchr("-._~+/=", c));
        if (!bPlain) {
            strError = "the token file " + strTokenFile +
                       " must hold one token of 16 to 256 letters, digits or -._~+/=";
            return false;
        }
        m_strToken = text;
    } else if (!IsLoopback(strAddress)) {
        strError = "serving on " + strAddress + " needs a token file (--serve-token FILE): "
                   "only the loopback address is served without one";
        return false;
    }

    m_pServer.reset(new CServer);
    m_pServer->new_task_queue = [] { return new httplib::ThreadPool(kMaxClients + kSpareThreads); };
    m_pServer->set_read_timeout(5, 0);
    m_pServer->set_write_timeout(5, 0);
    m_pServer->set_keep_alive_timeout(5);
    m_pServer->set_keep_alive_max_count(100);
    m_pServer->set_payload_max_length(kMaxRequestBytes);
    m_pServer->set_default_headers(SafetyHeaders());
    Routes();

    errno = 0;
    int nBound = nPort == 0 ? m_pServer->bind_to_any_port(strAddress)
                            : (m_pServer->bind_to_port(strAddress, nPort) ? nPort : -1);
    if (nBound <= 0) {
        int err = errno;
        strError = "cannot listen on " + strAddress + ":" + std::to_string(nPort) +
                   (err ? std::string(": ") + std::strerror(err) : std::string());
        m_pServer.reset();
        return false;
    }
    m_nPort = nBound;
    m_fanout.Reopen();
    CServer* pServer = m_pServer.get();
    m_listener = std::thread([pServer] { pServer->listen_after_bind(); });
    return true;
}

void CStationWeb::Stop()
{
    if (!m_pServer) return;
    m_fanout.Close(); // streams end, so their threads are free to join
    m_pServer->stop();
    if (m_listener.joinable()) m_listener.join();
    m_pServer.reset();
}

void CStationWeb::Event(const std::string& strJsonLine)
{
    // A line that could break the stream's framing is no station event.
    if (strJsonLine.size() > kMaxEventBytes || strJsonLine.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        return;
    if (!m_board.Apply(strJsonLine)) return;
    m_fanout.Publish("data: " + strJsonLine + "\n\n");
}

void CStationWeb::SetRecordSource(IRecordSource* pSource) { m_pRecords = pSource; }

void CStationWeb::Routes()
{
    CServer& svr = *m_pServer;
    using httplib::Request;
    using httplib::Response;
    using HR = httplib::Server::HandlerResponse;

    svr.set_pre_routing_handler([this, &svr](const Request& req, Response& res) {
        if (!svr.rate.Allow(req.remote_addr)) {
            res.set_header("Retry-After", "1");
            JsonError(res, 429, "too many requests");
            return HR::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD") {
            res.set_header("Allow", "GET, HEAD");
            res.set_header("Connection", "close");
            JsonError(res, 405, "read-only: only GET and HEAD");
            return HR::Handled;
        }
        std::size_t nSize = req.method.size() + req.target.size() + 12;
        for (const auto& h : req.headers) nSize += h.first.size() + h.second.size() + 4;
        if (nSize > kMaxRequestBytes || !req.body.empty() || req.has_header("Content-Length") ||
            req.has_header("Transfer-Encoding")) {
            res.set_header("Connection", "close");
            JsonError(res, 413, "request too large");
            return HR::Handled;
        }
        if (m_strToken.empty()) return HR::Unhandled;
        std::string strGiven;
        std::string strAuth = req.get_header_value("Authorization");
        if (strAuth.compare(0, 7, "Bearer ") == 0) strGiven = strAuth.substr(7);
        else if (req.has_param("token")) strGiven = req.get_param_value("token");
        else strGiven = CookieValue(req.get_header_value("Cookie"), kCookie);
        if (!SameSecret(strGiven, m_strToken)) {
            res.set_header("WWW-Authenticate", "Bearer");
            JsonError(res, 401, "a valid token is required");
            return HR::Handled;
        }
        if (req.has_param("token")) {
            // Taken once from the address: the browser keeps it as a session
            // cookie that scripts cannot read, and the address loses it.
            res.set_header("Set-Cookie", std::string(kCookie) + "=" + m_strToken +
                                             "; Path=/; HttpOnly; SameSite=Strict");
            if (req.path == "/") {
                res.status = 303;
                res.set_header("Location", "/");
                return HR::Handled;
            }
        }
        return HR::Unhandled;
    });

    svr.set_error_handler(httplib::Server::HandlerWithResponse([](const Request&, Response& res) {
        if (!res.body.empty()) return HR::Unhandled;
        JsonError(res, res.status, res.status == 404 ? "not found" : res.status == 414 ? "request too large" : "bad request");
        return HR::Handled;
    }));

    auto asset = [&svr](const char* path, const char* type, const std::string& body) {
        svr.Get(path, [type, &body](const Request&, Response& res) { res.set_content(body, type); });
    };
    asset("/", "text/html; charset=utf-8", PageHtml());
    asset("/app.js", "text/javascript; charset=utf-8", PageScript());
    asset("/style.css", "text/css; charset=utf-8", PageStyle());

    svr.Get("/api/units", [this](const Request&, Response& res) {
        res.set_content(m_board.UnitsJson(), "application/json");
    });

    svr.Get("/api/summary", [this](const Request&, Response& res) {
        std::string strDay = UtcDay(std::time(nullptr));
        IRecordSource* pRecords = m_pRecords;
        std::string strToday = pRecords ? CountsJson(pRecords->DayCounts(strDay)) : "null";
        res.set_content("{\"day\":\"" + strDay + "\",\"session\":" + CountsJson(m_board.SessionCounts()) +
                            ",\"today\":" + strToday + "}",
                        "application/json");
    });

    svr.Get("/api/records", [this](const Request& req, Response& res) {
        IRecordSource* pRecords = m_pRecords;
        if (!pRecords) return JsonError(res, 503, "no record store");
        std::string strSince = req.get_param_value("since");
        if (strSince.size() > 40 || strSince.find_first_not_of("0123456789-:.TZ+") != std::string::npos)
            return JsonError(res, 400, "since: an ISO 8601 time such as 2026-03-01T00:00:00Z");
        std::size_t nLimit = 50;
        if (req.has_param("limit")) {
            std::string s = req.get_param_value("limit");
            if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(s) == 0 || std::stoul(s) > kMaxRecordLimit)
                return JsonError(res, 400, "limit: 1 to " + std::to_string(kMaxRecordLimit));
            nLimit = std::stoul(s);
        }
        res.set_content(pRecords->RecordsJson(strSince, nLimit), "application/json");
    });

    svr.Get("/records.csv", [this](const Request& req, Response& res) {
        IRecordSource* pRecords = m_pRecords;
        if (!pRecords) return JsonError(res, 503, "no record store");
        std::string strDay = req.has_param("day") ? req.get_param_value("day") : UtcDay(std::time(nullptr));
        if (!IsDay(strDay)) return JsonError(res, 400, "day: YYYY-MM-DD");
        res.set_header("Content-Disposition", "attachment; filename=\"zt9047q-records-" + strDay + ".csv\"");
        res.set_content(pRecords->DayCsv(strDay), "text/csv; charset=utf-8");
    });

    svr.Get("/events", [this](const Request& req, Response& res) {
        if (req.method == "HEAD") return res.set_content("", "text/event-stream");
        CEventFanout::Client client = m_fanout.Subscribe();
        if (!client) return JsonError(res, 503, "too many clients (at most " + std::to_string(kMaxClients) + ")");
        res.set_header("X-Accel-Buffering", "no");
        auto pLastWrite = std::make_shared<std::chrono::steady_clock::time_point>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, client, pLastWrite](size_t nOffset, httplib::DataSink& sink) {
                if (nOffset == 0) {
                    // Reconnect soon after the station comes back.
                    static const std::string hello = "retry: 2000\n: connected\n\n";
                    return sink.write(hello.data(), hello.size());
                }
                // One write per client every kStreamPace at most: a busy
                // bench sends a batch, not a write per event per client,
                // which on a small machine would take CPU from the units.
                auto next = *pLastWrite + kStreamPace;
                if (std::chrono::steady_clock::now() < next)
                    std::this_thread::sleep_until(next);
                *pLastWrite = std::chrono::steady_clock::now();
                std::deque<CEventFanout::Frame> frames;
                if (!m_fanout.Take(client, frames, std::chrono::seconds(kHeartbeatSeconds))) return false;
                if (frames.empty()) {
                    static const std::string beat = ":\n\n";
                    return sink.write(beat.data(), beat.size());
                }
                std::string batch;
                for (const auto& f : frames) batch += *f;
                return sink.write(batch.data(), batch.size());
            },
            [this, client](bool) { m_fanout.Unsubscribe(client); });
    });
}

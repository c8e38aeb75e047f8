#include "RunRecord.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

const std::vector<const char*> kNames = {
    "id", "host", "user", "tool_version", "packaged_version", "image_sha256", "port", "slot", "usb_path",
    "usb_serial", "unit_version", "result", "text", "bytes", "frames", "started_at", "ended_at",
    "elapsed_ms", "verified", "version_after"};

std::optional<std::string> OptInt(const std::optional<int64_t>& n)
{
    if (!n)
        return std::nullopt;
    return std::to_string(*n);
}

std::optional<int64_t> ToInt(const std::optional<std::string>& s)
{
    if (!s || s->empty())
        return std::nullopt;
    return std::strtoll(s->c_str(), nullptr, 10);
}

// Appends the JSON escape of one character (code point).
void EscapeCodePoint(std::string* pOut, uint32_t c)
{
    char sz[16];
    switch (c) {
    case '"': *pOut += "\\\""; return;
    case '\\': *pOut += "\\\\"; return;
    case '\r': *pOut += "\\r"; return;
    case '\n': *pOut += "\\n"; return;
    case '\t': *pOut += "\\t"; return;
    default: break;
    }
    if (c >= 0x20 && c < 0x7F) {
        *pOut += static_cast<char>(c);
    } else if (c < 0x10000) {
        std::snprintf(sz, sizeof sz, "\\u%04x", c);
        *pOut += sz;
    } else {
        c -= 0x10000;
        std::snprintf(sz, sizeof sz, "\\u%04x\\u%04x", 0xD800 + (c >> 10), 0xDC00 + (c & 0x3FF));
        *pOut += sz;
    }
}

std::string JsonText(const std::string& str, bool bUtf8)
{
    std::string out = "\"";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(str.data());
    const size_t n = str.size();
    for (size_t i = 0; i < n;) {
        uint32_t c = p[i];
        size_t nLen = 1;
        if (bUtf8 && c >= 0xC0) {
            // A well-formed sequence from our own conversion or the server;
            // anything else is taken byte by byte.
            size_t nMore = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
            uint32_t v = c & (0x3Fu >> nMore);
            bool bOk = i + nMore < n;
            for (size_t k = 1; bOk && k <= nMore; ++k) {
                if ((p[i + k] & 0xC0) != 0x80)
                    bOk = false;
                else
                    v = v << 6 | (p[i + k] & 0x3F);
            }
            if (bOk) {
                c = v;
                nLen = nMore + 1;
            }
        }
        EscapeCodePoint(&out, c);
        i += nLen;
    }
    return out + "\"";
}

std::string CsvField(const std::optional<std::string>& str)
{
    if (!str)
        return "";
    if (str->find_first_of(",\"\r\n") == std::string::npos)
        return *str;
    std::string out = "\"";
    for (char c : *str) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

} // namespace

const std::vector<const char*>& RecordFieldNames()
{
    return kNames;
}

std::vector<SField> RecordFields(const SRunRecord& r)
{
    using K = EFieldKind;
    std::optional<std::string> verified;
    if (r.bVerified)
        verified = *r.bVerified ? "true" : "false";
    return {
        {"id", K::kText, r.strId},
        {"host", K::kText, r.strHost},
        {"user", K::kText, r.strUser},
        {"tool_version", K::kText, r.strToolVersion},
        {"packaged_version", K::kVersion, r.strPackagedVersion},
        {"image_sha256", K::kText, r.strImageSha256},
        {"port", K::kText, r.strPort},
        {"slot", K::kText, r.strSlot},
        {"usb_path", K::kText, r.strUsbPath},
        {"usb_serial", K::kText, r.strUsbSerial},
        {"unit_version", K::kVersion, r.strUnitVersion},
        {"result", K::kText, r.strResult},
        {"text", K::kText, r.strText},
        {"bytes", K::kInteger, std::to_string(r.nBytes)},
        {"frames", K::kInteger, std::to_string(r.nFrames)},
        {"started_at", K::kText, r.strStartedAt},
        {"ended_at", K::kText, r.strEndedAt},
        {"elapsed_ms", K::kInteger, OptInt(r.nElapsedMs)},
        {"verified", K::kBool, verified},
        {"version_after", K::kVersion, r.strVersionAfter},
    };
}

SRunRecord RecordFromValues(const std::function<std::optional<std::string>(size_t nColumn)>& value)
{
    SRunRecord r;
    auto text = [&](size_t i) { return value(i).value_or(""); };
    r.strId = text(0);
    r.strHost = text(1);
    r.strUser = text(2);
    r.strToolVersion = text(3);
    r.strPackagedVersion = text(4);
    r.strImageSha256 = text(5);
    r.strPort = text(6);
    r.strSlot = value(7);
    r.strUsbPath = value(8);
    r.strUsbSerial = value(9);
    r.strUnitVersion = value(10);
    r.strResult = text(11);
    r.strText = text(12);
    r.nBytes = ToInt(value(13)).value_or(0);
    r.nFrames = ToInt(value(14)).value_or(0);
    r.strStartedAt = text(15);
    r.strEndedAt = value(16);
    r.nElapsedMs = ToInt(value(17));
    if (std::optional<std::string> v = value(18))
        r.bVerified = *v == "true" || *v == "t" || *v == "1";
    r.strVersionAfter = value(19);
    return r;
}

std::string NewRecordId()
{
    unsigned char by[16];
    size_t nGot = 0;
    while (nGot < sizeof by) {
        ssize_t n = getrandom(by + nGot, sizeof by - nGot, 0);
        if (n > 0)
            nGot += static_cast<size_t>(n);
        else if (errno != EINTR)
            break;
    }
    if (nGot < sizeof by) {
        // Kernels without getrandom: the same source through its device.
        int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        nGot = 0;
        while (fd >= 0 && nGot < sizeof by) {
            ssize_t n = read(fd, by + nGot, sizeof by - nGot);
            if (n <= 0)
                break;
            nGot += static_cast<size_t>(n);
        }
        if (fd >= 0)
            close(fd);
    }
    by[6] = static_cast<unsigned char>((by[6] & 0x0F) | 0x40);
    by[8] = static_cast<unsigned char>((by[8] & 0x3F) | 0x80);
    char sz[40];
    std::snprintf(sz, sizeof sz, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", by[0],
                  by[1], by[2], by[3], by[4], by[5], by[6], by[7], by[8], by[9], by[10], by[11], by[12], by[13],
                  by[14], by[15]);
    return sz;
}

std::string UtcIso8601Ms(std::chrono::system_clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const time_t sec = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    struct tm tmUtc;
    gmtime_r(&sec, &tmUtc);
    char sz[64];
    std::snprintf(sz, sizeof sz, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tmUtc.tm_year + 1900, tmUtc.tm_mon + 1,
                  tmUtc.tm_mday, tmUtc.tm_hour, tmUtc.tm_min, tmUtc.tm_sec, static_cast<int>(ms - sec * 1000LL));
    return sz;
}

std::string UtcNowIso8601Ms()
{
    return UtcIso8601Ms(std::chrono::system_clock::now());
}

std::string StationHostName()
{
    char sz[256] = {0};
    if (gethostname(sz, sizeof sz - 1) != 0)
        return "";
    return sz;
}

std::string StationUserName()
{
    struct passwd pw;
    struct passwd* pResult = nullptr;
    char buf[1024];
    if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &pResult) == 0 && pResult)
        return pResult->pw_name;
    if (const char* psz = std::getenv("USER"))
        return psz;
    return std::to_string(geteuid());
}

std::string Latin1ToUtf8(const std::string& str)
{
    std::string out;
    out.reserve(str.size());
    for (char ch : str) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string RecordJsonLine(const SRunRecord& rec, bool bUtf8)
{
    std::string out = "{";
    bool bFirst = true;
    for (const SField& f : RecordFields(rec)) {
        if (!bFirst)
            out += ',';
        bFirst = false;
        out += '"';
        out += f.pszName;
        out += "\":";
        if (!f.strValue)
            out += "null";
        else if (f.eKind == EFieldKind::kText)
            out += JsonText(*f.strValue, bUtf8);
        else
            out += *f.strValue;
    }
    return out + "}\n";
}

std::string RecordCsvHeader()
{
    std::string out;
    for (const char* psz : kNames) {
        if (!out.empty())
            out += ',';
        out += psz;
    }
    return out + "\r\n";
}

std::string RecordCsvRow(const SRunRecord& rec)
{
    std::string out;
    bool bFirst = true;
    for (const SField& f : RecordFields(rec)) {
        if (!bFirst)
            out += ',';
        bFirst = false;
        out += CsvField(f.strValue);
    }
    return out + "\r\n";
}

#include "RunRecord.h"

#include "JsonText.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

// By ERecordColumn.
const std::vector<const char*> kNames = {
    "id", "host", "user", "tool_version", "packaged_version", "image_sha256", "port", "slot", "usb_path",
    "usb_serial", "unit_version", "result", "text", "bytes", "frames", "started_at", "ended_at",
    "elapsed_ms", "verified", "version_after", "reason", "hint"};
static_assert(kRecordColumns == 22, "a column added to ERecordColumn needs its name here");

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

// A spreadsheet reads these first characters as a formula.
bool LooksLikeFormula(const std::string& str)
{
    return !str.empty() && std::string("=+-@\t\r").find(str[0]) != std::string::npos;
}

std::string OneLine(const std::string& str)
{
    std::string out = str;
    for (char& c : out)
        if (c == '\r' || c == '\n')
            c = ' ';
    const size_t nFirst = out.find_first_not_of(' ');
    if (nFirst == std::string::npos)
        return "";
    return out.substr(nFirst, out.find_last_not_of(' ') - nFirst + 1);
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
        {"reason", K::kText, r.strReason},
        {"hint", K::kText, r.strHint},
    };
}

EFieldKind RecordFieldKind(ERecordColumn eColumn)
{
    switch (eColumn) {
    case kColPackagedVersion:
    case kColUnitVersion:
    case kColVersionAfter: return EFieldKind::kVersion;
    case kColBytes:
    case kColFrames:
    case kColElapsedMs: return EFieldKind::kInteger;
    case kColVerified: return EFieldKind::kBool;
    default: return EFieldKind::kText;
    }
}

SRunRecord RecordFromValues(const std::function<std::optional<std::string>(ERecordColumn eColumn)>& value)
{
    SRunRecord r;
    auto text = [&](ERecordColumn e) { return value(e).value_or(""); };
    r.strId = text(kColId);
    r.strHost = text(kColHost);
    r.strUser = text(kColUser);
    r.strToolVersion = text(kColToolVersion);
    r.strPackagedVersion = text(kColPackagedVersion);
    r.strImageSha256 = text(kColImageSha256);
    r.strPort = text(kColPort);
    r.strSlot = value(kColSlot);
    r.strUsbPath = value(kColUsbPath);
    r.strUsbSerial = value(kColUsbSerial);
    r.strUnitVersion = value(kColUnitVersion);
    r.strResult = text(kColResult);
    r.strText = text(kColText);
    r.nBytes = ToInt(value(kColBytes)).value_or(0);
    r.nFrames = ToInt(value(kColFrames)).value_or(0);
    r.strStartedAt = text(kColStartedAt);
    r.strEndedAt = value(kColEndedAt);
    r.nElapsedMs = ToInt(value(kColElapsedMs));
    if (std::optional<std::string> v = value(kColVerified))
        r.bVerified = *v == "true" || *v == "t" || *v == "1";
    r.strVersionAfter = value(kColVersionAfter);
    r.strReason = value(kColReason);
    r.strHint = value(kColHint);
    return r;
}

EYield RecordYield(const SRunRecord& rec)
{
    return YieldOfResult(rec.strResult, rec.bVerified);
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

SRunRecord RecordForStore(SRunRecord rec)
{
    for (std::string* p : {&rec.strHost, &rec.strUser, &rec.strPort})
        *p = Utf8Text(*p);
    rec.strText = OneLine(Utf8Text(rec.strText));
    for (std::optional<std::string>* p : {&rec.strSlot, &rec.strUsbPath, &rec.strUsbSerial, &rec.strReason})
        if (*p)
            **p = Utf8Text(**p);
    if (rec.strHint)
        rec.strHint = OneLine(Utf8Text(*rec.strHint));
    return rec;
}

std::string RecordJsonLine(const SRunRecord& rec)
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
            out += JsonString(*f.strValue);
        else
            out += *f.strValue;
    }
    return out + "}\n";
}

std::string CsvCell(const std::string& strText)
{
    const std::string str = LooksLikeFormula(strText) ? "'" + strText : strText;
    if (str.find_first_of(",\"\r\n") == std::string::npos)
        return str;
    std::string out = "\"";
    for (char c : str) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
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
        // Counts and versions are numbers: a negative one stays a number.
        if (f.strValue)
            out += f.eKind == EFieldKind::kText ? CsvCell(*f.strValue) : *f.strValue;
    }
    return out + "\r\n";
}

#include "FlatJson.h"

#include <cstdio>

namespace {

void SkipSpace(const std::string& s, size_t& i)
{
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
}

bool IsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A string token from s[i] (the opening quote); i ends past the closing one.
bool ScanString(const std::string& s, size_t& i)
{
    if (i >= s.size() || s[i] != '"') return false;
    for (++i; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"') { ++i; return true; }
        if (c < 0x20) return false;
        if (c == '\\') {
            if (++i >= s.size()) return false;
            char e = s[i];
            if (e == 'u') {
                if (i + 4 >= s.size()) return false;
                for (int k = 1; k <= 4; ++k)
                    if (!IsHex(s[i + k])) return false;
                i += 4;
            } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
                return false;
            }
        }
    }
    return false;
}

bool ScanNumber(const std::string& s, size_t& i)
{
    size_t start = i;
    if (i < s.size() && s[i] == '-') ++i;
    if (i >= s.size()) return false;
    if (s[i] == '0') ++i;
    else if (s[i] >= '1' && s[i] <= '9') while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
    else return false;
    if (i < s.size() && s[i] == '.') {
        size_t d = ++i;
        while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
        if (i == d) return false;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        size_t d = i;
        while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
        if (i == d) return false;
    }
    return i > start;
}

bool ScanLiteral(const std::string& s, size_t& i)
{
    for (const char* word : {"true", "false", "null"}) {
        std::string w(word);
        if (s.compare(i, w.size(), w) == 0) { i += w.size(); return true; }
    }
    return false;
}

std::string Decode(const std::string& token)
{
    std::string out;
    for (size_t i = 1; i + 1 < token.size(); ++i) {
        char c = token[i];
        if (c != '\\') { out += c; continue; }
        char e = token[++i];
        switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
            unsigned v = static_cast<unsigned>(std::stoul(token.substr(i + 1, 4), nullptr, 16));
            out += v < 0x80 ? static_cast<char>(v) : '?';
            i += 4;
            break;
        }
        default: out += e; break;
        }
    }
    return out;
}

} // namespace

bool ParseFlatObject(const std::string& s, FlatFields& fields)
{
    fields.clear();
    size_t i = 0;
    SkipSpace(s, i);
    if (i >= s.size() || s[i] != '{') return false;
    ++i;
    SkipSpace(s, i);
    if (i < s.size() && s[i] == '}') { ++i; SkipSpace(s, i); return i == s.size(); }
    for (;;) {
        SkipSpace(s, i);
        size_t k = i;
        if (!ScanString(s, i)) return false;
        std::string key = Decode(s.substr(k, i - k));
        SkipSpace(s, i);
        if (i >= s.size() || s[i] != ':') return false;
        ++i;
        SkipSpace(s, i);
        size_t v = i;
        bool ok = i < s.size() && (s[i] == '"' ? ScanString(s, i)
                                   : (s[i] == '-' || isdigit(static_cast<unsigned char>(s[i]))) ? ScanNumber(s, i)
                                   : ScanLiteral(s, i));
        if (!ok) return false;
        fields.emplace_back(key, s.substr(v, i - v));
        SkipSpace(s, i);
        if (i < s.size() && s[i] == ',') { ++i; continue; }
        if (i < s.size() && s[i] == '}') { ++i; break; }
        return false;
    }
    SkipSpace(s, i);
    return i == s.size();
}

std::string FlatRaw(const FlatFields& fields, const std::string& strKey)
{
    for (const auto& f : fields)
        if (f.first == strKey) return f.second;
    return "";
}

std::string FlatString(const FlatFields& fields, const std::string& strKey)
{
    std::string raw = FlatRaw(fields, strKey);
    return raw.size() >= 2 && raw[0] == '"' ? Decode(raw) : std::string();
}

std::string JsonQuote(const std::string& strText)
{
    std::string out = "\"";
    for (unsigned char c : strText) {
        if (c == '"' || c == '\\') { out += '\\'; out += static_cast<char>(c); }
        else if (c >= 0x20 && c < 0x7f && c != '<' && c != '>' && c != '&') out += static_cast<char>(c);
        else { char buf[8]; std::snprintf(buf, sizeof buf, "\\u%04x", c); out += buf; }
    }
    return out + "\"";
}

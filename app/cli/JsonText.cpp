#include "JsonText.h"

#include <cstdio>

namespace {

// The code point of the well-formed UTF-8 sequence at p (its length in
// *pnLength), or -1 when the byte there starts none.
long DecodeUtf8(const unsigned char* p, size_t nLeft, size_t* pnLength)
{
    unsigned char by = p[0];
    size_t n;
    long nCode, nMin;
    if (by >= 0xC2 && by <= 0xDF) {
        n = 2, nCode = by & 0x1F, nMin = 0x80;
    } else if (by >= 0xE0 && by <= 0xEF) {
        n = 3, nCode = by & 0x0F, nMin = 0x800;
    } else if (by >= 0xF0 && by <= 0xF4) {
        n = 4, nCode = by & 0x07, nMin = 0x10000;
    } else {
        return -1;
    }
    if (n > nLeft)
        return -1;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return -1;
        nCode = (nCode << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are no text.
    if (nCode < nMin || (nCode >= 0xD800 && nCode <= 0xDFFF) || nCode > 0x10FFFF)
        return -1;
    *pnLength = n;
    return nCode;
}

void AppendEscape(std::string& s, long nCode)
{
    char sz[8];
    std::snprintf(sz, sizeof sz, "\\u%04lx", nCode);
    s += sz;
}

} // namespace

std::string JsonString(const std::string& strText)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(strText.data());
    const size_t nSize = strText.size();
    std::string s = "\"";
    for (size_t i = 0; i < nSize;) {
        unsigned char by = p[i];
        switch (by) {
        case '"': s += "\\\""; break;
        case '\\': s += "\\\\"; break;
        case '\r': s += "\\r"; break;
        case '\n': s += "\\n"; break;
        case '\t': s += "\\t"; break;
        default:
            if (by >= 0x80) {
                size_t nLength = 0;
                long nCode = DecodeUtf8(p + i, nSize - i, &nLength);
                if (nCode < 0) {
                    AppendEscape(s, by); // not UTF-8: the byte's Latin-1 value
                } else if (nCode >= 0x10000) {
                    AppendEscape(s, 0xD800 + ((nCode - 0x10000) >> 10));
                    AppendEscape(s, 0xDC00 + ((nCode - 0x10000) & 0x3FF));
                    i += nLength;
                    continue;
                } else {
                    AppendEscape(s, nCode);
                    i += nLength;
                    continue;
                }
            } else if (by < 0x20 || by == 0x7F) {
                AppendEscape(s, by);
            } else {
                s += static_cast<char>(by);
            }
        }
        ++i;
    }
    return s + "\"";
}

std::string Utf8Text(const std::string& strText)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(strText.data());
    const size_t nSize = strText.size();
    std::string s;
    s.reserve(nSize);
    for (size_t i = 0; i < nSize;) {
        size_t nLength = 0;
        if (p[i] < 0x80) {
            s += static_cast<char>(p[i++]);
        } else if (DecodeUtf8(p + i, nSize - i, &nLength) >= 0) {
            s.append(strText, i, nLength);
            i += nLength;
        } else {
            s += static_cast<char>(0xC0 | (p[i] >> 6));
            s += static_cast<char>(0x80 | (p[i] & 0x3F));
            ++i;
        }
    }
    return s;
}

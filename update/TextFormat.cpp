#include "TextFormat.h"

#include <charconv>
#include <limits>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

} // namespace

bool ScanFloat(const char* pszText, float* pfValue)
{
    const char* p = pszText;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool bNegative = false;
    if (*p == '+' || *p == '-')
        bNegative = (*p++ == '-');
    const char* pStart = p;
    int nDigits = 0;
    // The decimal power of the first non-zero digit: for a value that does
    // not fit a float, it alone tells overflow (infinity) from underflow (0).
    long long nPower = 0;
    bool bNonZero = false;
    while (IsDigit(*p)) {
        if (bNonZero)
            ++nPower;
        else
            bNonZero = *p != '0';
        ++p;
        ++nDigits;
    }
    if (*p == '.') {
        ++p;
        while (IsDigit(*p)) {
            if (!bNonZero) {
                --nPower;
                bNonZero = *p != '0';
            }
            ++p;
            ++nDigits;
        }
    }
    if (nDigits == 0)
        return false;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        bool bNegExp = false;
        if (*q == '+' || *q == '-')
            bNegExp = (*q++ == '-');
        if (IsDigit(*q)) {
            long long nExp = 0;
            for (; IsDigit(*q); ++q) {
                if (nExp < 1000000000LL)
                    nExp = nExp * 10 + (*q - '0');
            }
            nPower += bNegExp ? -nExp : nExp;
            p = q;
        }
    }
    float fValue = 0.0f;
    std::from_chars_result r = std::from_chars(pStart, p, fValue, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
        // Too large for a float reads as infinity, too small as zero.
        fValue = nPower >= 0 ? std::numeric_limits<float>::infinity() : 0.0f;
    } else if (r.ec != std::errc()) {
        return false;
    }
    *pfValue = bNegative ? -fValue : fValue;
    return true;
}

std::string FormatFixed2(double dValue)
{
    char szBuf[400];
    std::to_chars_result r = std::to_chars(szBuf, szBuf + sizeof szBuf, dValue, std::chars_format::fixed, 2);
    if (r.ec != std::errc())
        return std::string();
    return std::string(szBuf, r.ptr);
}

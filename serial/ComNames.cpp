#include "ComNames.h"

#include <cstring>

namespace {

struct SRange
{
    const char* pszPrefix;
    int nFirstCom;
};

// Each range holds 32 devices, except the pseudo terminals with 128.
const SRange kRanges[] = {
    {"/dev/ttyS", 1},
    {"/dev/ttyUSB", 33},
    {"/dev/ttyACM", 65},
    {"/dev/ttyAMA", 97},
    {"/dev/pts/", 129},
};

int RangeSize(size_t i)
{
    return i + 1 < sizeof(kRanges) / sizeof(kRanges[0]) ? 32 : 128;
}

// A plain decimal number without sign or leading zeros ("0" itself allowed).
int ParseUnsigned(const std::string& s)
{
    if (s.empty() || s.size() > 4)
        return -1;
    if (s.size() > 1 && s[0] == '0')
        return -1;
    int n = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

} // namespace

int ParseComName(const std::string& strName)
{
    std::string s = strName;
    if (s.compare(0, 4, "\\\\.\\") == 0)
        s.erase(0, 4);
    if (s.size() < 4)
        return -1;
    for (int i = 0; i < 3; ++i) {
        char c = s[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != "COM"[i])
            return -1;
    }
    int n = ParseUnsigned(s.substr(3));
    return (n >= 1 && n <= 256) ? n : -1;
}

std::string ComNumberToDevicePath(int nCom)
{
    for (size_t i = 0; i < sizeof(kRanges) / sizeof(kRanges[0]); ++i) {
        int nIndex = nCom - kRanges[i].nFirstCom;
        if (nIndex >= 0 && nIndex < RangeSize(i))
            return kRanges[i].pszPrefix + std::to_string(nIndex);
    }
    return std::string();
}

int DevicePathToComNumber(const std::string& strPath)
{
    for (size_t i = 0; i < sizeof(kRanges) / sizeof(kRanges[0]); ++i) {
        size_t nLen = std::strlen(kRanges[i].pszPrefix);
        if (strPath.compare(0, nLen, kRanges[i].pszPrefix) != 0)
            continue;
        int nIndex = ParseUnsigned(strPath.substr(nLen));
        if (nIndex >= 0 && nIndex < RangeSize(i))
            return kRanges[i].nFirstCom + nIndex;
    }
    return -1;
}

std::string ResolvePortName(const std::string& strName)
{
    int nCom = ParseComName(strName);
    if (nCom > 0)
        return ComNumberToDevicePath(nCom);
    if (strName.find('/') != std::string::npos)
        return strName;
    return std::string();
}

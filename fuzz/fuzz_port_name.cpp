// The display-name rule of port detection against any name, compared with a
// plain reading of the rule: the three tokens anywhere in any case, then a
// "%d" number after the first "COM" (white space, a sign, digits; values
// beyond an int saturate). FindDevicePort over a list made of the input must
// give the first match.
#include "discovery/EnumSerialPorts.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool Expected(std::string s, int* pnCom)
{
    for (char& c : s)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (s.find("ZT9047Q") == std::string::npos || s.find("USB") == std::string::npos
        || s.find("UART") == std::string::npos)
        return false;
    size_t p = s.find("COM");
    if (p == std::string::npos)
        return false;
    const char* q = s.c_str() + p + 3;
    while (*q == ' ' || (*q >= '\t' && *q <= '\r'))
        ++q;
    char* pEnd = nullptr;
    if (!((*q >= '0' && *q <= '9') || ((*q == '+' || *q == '-') && q[1] >= '0' && q[1] <= '9')))
        return false;
    long long n = std::strtoll(q, &pEnd, 10); // saturates at the long long range
    if (n > 2147483647LL)
        n = 2147483647LL;
    if (n < -2147483648LL)
        n = -2147483648LL;
    *pnCom = static_cast<int>(n);
    return true;
}

class CListSource : public IPortSource
{
public:
    explicit CListSource(const std::vector<std::string>& names) : m_names(names) {}
    void Enumerate(CSerInfoArray& list) override
    {
        for (const std::string& s : m_names) {
            SSerInfo info;
            info.strComName = "COM1";
            info.strDisplayName = s;
            list.Add(info);
        }
    }
    bool CanOpen(const std::string&) override { return false; }

private:
    std::vector<std::string> m_names;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    std::string all(reinterpret_cast<const char*>(pData), nSize);
    // The whole input as one name, and as a list of names split at '\n'.
    int nGot = -12345, nWant = -12345;
    bool bGot = MatchDisplayName(all, &nGot);
    bool bWant = Expected(all, &nWant);
    if (bGot != bWant || (bGot && nGot != nWant))
        std::abort();

    std::vector<std::string> names;
    size_t nStart = 0;
    for (size_t i = 0; i <= all.size(); ++i) {
        if (i == all.size() || all[i] == '\n') {
            names.push_back(all.substr(nStart, i - nStart));
            nStart = i + 1;
        }
    }
    int nFirst = -1;
    for (const std::string& s : names) {
        // An empty display name is replaced by the COM name, which never matches.
        int n = 0;
        if (!s.empty() && Expected(s, &n)) {
            nFirst = n;
            break;
        }
    }
    CListSource source(names);
    CEnumSerialPorts ports(&source);
    if (ports.FindDevicePort() != nFirst)
        std::abort();
    return 0;
}

#include "EnumSerialPorts.h"

CEnumSerialPorts::CEnumSerialPorts(IPortSource* pSource)
    : m_pSource(pSource ? pSource : &PlatformPortSource())
{
}

CEnumSerialPorts::~CEnumSerialPorts()
{
}

int CEnumSerialPorts::EnumerateAll(CSerInfoArray& list, int bOpenableOnly)
{
    list.SetSize(0);
    m_pSource->Enumerate(list);

    for (int i = 0; i < list.GetSize();) {
        SSerInfo& info = list[i];
        if (bOpenableOnly && !m_pSource->CanOpen(info.strPath)) {
            list.RemoveAt(i); // the next record has moved into index i
            continue;
        }
        if (info.strDisplayName.empty())
            info.strDisplayName = info.strComName;
        if (info.strDescription.empty()) {
            info.strDescription = info.strDisplayName;
            std::string::size_type p = info.strDescription.find(" (");
            std::string::size_type q = info.strDescription.find(')');
            if (p != std::string::npos && p > 0 && q != std::string::npos
                && q == info.strDescription.size() - 1)
                info.strDescription.resize(p);
        }
        ++i;
    }
    return list.GetSize();
}

namespace {

// Reads a decimal integer the way "%d" does: leading white space, an
// optional sign, then at least one digit. Out-of-range values saturate.
bool ScanDecimal(const char* p, int* pnValue)
{
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool bNegative = false;
    if (*p == '+' || *p == '-')
        bNegative = (*p++ == '-');
    if (*p < '0' || *p > '9')
        return false;
    long long n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (n < 10000000000LL)
            n = n * 10 + (*p - '0');
    }
    if (bNegative)
        n = -n;
    if (n > 2147483647LL)
        n = 2147483647LL;
    if (n < -2147483647LL - 1)
        n = -2147483647LL - 1;
    *pnValue = static_cast<int>(n);
    return true;
}

} // namespace

bool MatchDisplayName(const std::string& strDisplayName, int* pnCom)
{
    std::string s = strDisplayName;
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    if (s.find("ZT9047Q") == std::string::npos || s.find("USB") == std::string::npos
        || s.find("UART") == std::string::npos)
        return false;
    std::string::size_type nCom = s.find("COM");
    if (nCom == std::string::npos)
        return false;
    return ScanDecimal(s.c_str() + nCom + 3, pnCom);
}

int CEnumSerialPorts::FindDevicePort()
{
    CSerInfoArray list;
    EnumerateAll(list, 0);
    for (int i = 0; i < list.GetSize(); ++i) {
        int nCom = -1;
        if (MatchDisplayName(list[i].strDisplayName, &nCom))
            return nCom; // the first matching record wins
    }
    return -1;
}

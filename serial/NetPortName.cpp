#include "NetPortName.h"

#include <cctype>
#include <cstring>

namespace {

const char kRfc2217Scheme[] = "rfc2217://";
const char kSocketScheme[] = "socket://";

bool StartsWithNoCase(const std::string& s, const char* pszPrefix)
{
    size_t n = std::strlen(pszPrefix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != pszPrefix[i])
            return false;
    return true;
}

bool HostNameChars(const std::string& s)
{
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            return false;
    return !s.empty();
}

bool Ipv6LiteralChars(const std::string& s)
{
    size_t nColons = 0;
    for (char c : s) {
        nColons += c == ':';
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.' && c != '%')
            return false;
    }
    return nColons >= 2;
}

} // namespace

bool IsNetPortName(const std::string& strName)
{
    return StartsWithNoCase(strName, kRfc2217Scheme) || StartsWithNoCase(strName, kSocketScheme);
}

bool ParseNetPortName(const std::string& strName, SNetAddress* pAddress, std::string* pError)
{
    SNetAddress a;
    std::string rest;
    if (StartsWithNoCase(strName, kRfc2217Scheme)) {
        a.eKind = kNetRfc2217;
        rest = strName.substr(sizeof kRfc2217Scheme - 1);
    } else if (StartsWithNoCase(strName, kSocketScheme)) {
        a.eKind = kNetSocket;
        rest = strName.substr(sizeof kSocketScheme - 1);
    } else {
        *pError = "not an rfc2217:// or socket:// name";
        return false;
    }
    size_t nAt = rest.rfind('@');
    if (nAt != std::string::npos) {
        std::string strUserInfo = rest.substr(0, nAt);
        a.strUser = strUserInfo.substr(0, strUserInfo.find(':'));
        rest = rest.substr(nAt + 1);
    }
    std::string strPort;
    if (!rest.empty() && rest[0] == '[') {
        size_t nClose = rest.find(']');
        if (nClose == std::string::npos || nClose + 1 >= rest.size() || rest[nClose + 1] != ':') {
            *pError = "an IPv6 address is written [ADDRESS]:PORT";
            return false;
        }
        a.strHost = rest.substr(1, nClose - 1);
        strPort = rest.substr(nClose + 2);
        if (!Ipv6LiteralChars(a.strHost)) {
            *pError = "'" + a.strHost + "' is not an IPv6 address";
            return false;
        }
    } else {
        size_t nColon = rest.find(':');
        if (nColon == std::string::npos) {
            *pError = "the server's TCP port is missing (HOST:PORT)";
            return false;
        }
        if (rest.find(':', nColon + 1) != std::string::npos) {
            *pError = "an IPv6 address goes in brackets: [ADDRESS]:PORT";
            return false;
        }
        a.strHost = rest.substr(0, nColon);
        strPort = rest.substr(nColon + 1);
        if (!HostNameChars(a.strHost)) {
            *pError = a.strHost.empty() ? "the host is missing (HOST:PORT)" : "'" + a.strHost + "' is not a host name";
            return false;
        }
    }
    unsigned long nPort = 0;
    bool bDigits = !strPort.empty() && strPort.size() <= 5;
    for (char c : strPort) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            bDigits = false;
        else
            nPort = nPort * 10 + static_cast<unsigned long>(c - '0');
    }
    if (!bDigits || nPort == 0 || nPort > 65535) {
        *pError = "'" + strPort + "' is not a TCP port (1 to 65535)";
        return false;
    }
    a.nPort = static_cast<uint16_t>(nPort);
    *pAddress = a;
    return true;
}

std::string NetDisplayName(const std::string& strName)
{
    SNetAddress a;
    std::string strError;
    if (!ParseNetPortName(strName, &a, &strError))
        return strName;
    std::string s = a.eKind == kNetRfc2217 ? kRfc2217Scheme : kSocketScheme;
    if (!a.strUser.empty())
        s += a.strUser + "@";
    s += a.strHost.find(':') != std::string::npos ? "[" + a.strHost + "]" : a.strHost;
    return s + ":" + std::to_string(a.nPort);
}

std::string NetIdentity(const SNetAddress& address)
{
    std::string strHost;
    for (char c : address.strHost)
        strHost += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "net " + strHost + " " + std::to_string(address.nPort);
}


#include "StationServe.h"

#include <cctype>
#include <thread>

bool ParseServeAddress(const std::string& strValue, SServeAddress* pAddress, std::string* pError)
{
    SServeAddress address;
    std::string strPort = strValue;
    size_t nColon = strValue.rfind(':');
    if (nColon != std::string::npos) {
        address.strAddress = strValue.substr(0, nColon);
        strPort = strValue.substr(nColon + 1);
        const std::string& a = address.strAddress;
        if (a.size() >= 2 && a.front() == '[' && a.back() == ']')
            address.strAddress = a.substr(1, a.size() - 2);
        else if (a.find(':') != std::string::npos) {
            *pError = "--serve: an IPv6 address goes in brackets, as [::1]:8047";
            return false;
        }
        if (address.strAddress.empty()) {
            *pError = "--serve: no address before ':' in '" + strValue + "'";
            return false;
        }
    }
    bool bDigits = !strPort.empty() && strPort.size() <= 5;
    for (char c : strPort)
        bDigits = bDigits && std::isdigit(static_cast<unsigned char>(c));
    if (!bDigits || std::stoi(strPort) > 65535) {
        *pError = "--serve takes [ADDR:]PORT with a port of 0 to 65535, not '" + strValue + "'";
        return false;
    }
    address.nPort = std::stoi(strPort);
    *pAddress = address;
    return true;
}

bool CStationPage::Start(const SServeAddress& address, const std::string& strTokenFile, std::string& strError)
{
    m_address = address;
    return m_web.Start(address.strAddress, address.nPort, strTokenFile, strError);
}

std::string CStationPage::Url() const
{
    bool bV6 = m_address.strAddress.find(':') != std::string::npos;
    std::string strHost = bV6 ? "[" + m_address.strAddress + "]" : m_address.strAddress;
    return "http://" + strHost + ":" + std::to_string(m_web.Port()) + "/";
}

void CStationPage::Event(const std::string& strJsonLine)
{
    // The room's lines end with their newline; the page takes the object.
    if (!strJsonLine.empty() && strJsonLine.back() == '\n')
        m_web.Event(strJsonLine.substr(0, strJsonLine.size() - 1));
    else
        m_web.Event(strJsonLine);
}

void CStationPage::Stop()
{
    auto deadline = std::chrono::steady_clock::now() + kLastEventsWait;
    while (m_web.Fanout().QueuedBytes() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    m_web.Stop();
}

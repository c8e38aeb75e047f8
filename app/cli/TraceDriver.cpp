#include "TraceDriver.h"

#include "serial/NetPortName.h"

#include <chrono>
#include <cstdio>

namespace {

// The port as lines name it: the COM name without "\\.\", or the path.
std::string PortOf(const char* pszName)
{
    std::string s = pszName ? pszName : "";
    if (IsNetPortName(s))
        return NetDisplayName(s); // never a password
    if (s.compare(0, 4, "\\\\.\\") == 0)
        s = s.substr(4);
    return s;
}

class CTraceHandle : public CForwardingHandle
{
public:
    CTraceHandle(ICommHandle* pInner, const std::string& strPort, const CTraceDriver::LineWriter& writeLine)
        : CForwardingHandle(pInner), m_strPort(strPort), m_writeLine(writeLine)
    {
    }
    ~CTraceHandle() override
    {
        CloseInner();
        Note("closed");
    }
    // Bytes in one direction that follow each other closely make one line:
    // a reply read byte by byte, a frame written in pieces.
    void Add(char cDirection, const void* pData, uint32_t nCount)
    {
        uint64_t nNow = TraceMs();
        if (m_cPending != cDirection || nNow - m_nPendingMs >= 10 || m_pending.size() >= 1024)
            Flush();
        if (m_pending.empty()) {
            m_cPending = cDirection;
            m_nPendingMs = nNow;
        }
        m_pending.append(static_cast<const char*>(pData), nCount);
    }
    void Flush()
    {
        if (!m_pending.empty())
            m_writeLine(TraceLine(m_nPendingMs, m_strPort, m_cPending, m_pending.data(), m_pending.size()));
        m_pending.clear();
    }
    bool ReadBytes(void* pBuffer, uint32_t nCount, uint32_t* pnRead) override
    {
        bool bOk = CForwardingHandle::ReadBytes(pBuffer, nCount, pnRead);
        if (*pnRead > 0)
            Add('<', pBuffer, *pnRead);
        else
            Flush(); // a pause: what came before it is one line
        return bOk;
    }
    bool WriteBytes(const void* pBuffer, uint32_t nCount, uint32_t* pnWritten) override
    {
        bool bOk = CForwardingHandle::WriteBytes(pBuffer, nCount, pnWritten);
        if (*pnWritten > 0)
            Add('>', pBuffer, *pnWritten);
        if (*pnWritten < nCount)
            Note("wrote " + std::to_string(*pnWritten) + " of " + std::to_string(nCount) + " bytes");
        return bOk;
    }
    void Note(const std::string& strWhat)
    {
        Flush();
        m_writeLine(TraceLine(TraceMs(), m_strPort, '-', nullptr, 0) + strWhat);
    }

private:
    std::string m_strPort;
    CTraceDriver::LineWriter m_writeLine;
    std::string m_pending;
    char m_cPending = 0;
    uint64_t m_nPendingMs = 0;
};

} // namespace

uint64_t TraceMs()
{
    static const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

std::string TraceLine(uint64_t nMs, const std::string& strPort, char cDirection, const void* pData, size_t nSize)
{
    char sz[48];
    std::snprintf(sz, sizeof sz, "%llu.%03u ", static_cast<unsigned long long>(nMs / 1000),
                  static_cast<unsigned>(nMs % 1000));
    std::string s = sz + strPort + " " + cDirection + " ";
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    for (size_t i = 0; i < nSize; ++i) {
        if (p[i] >= 0x20 && p[i] <= 0x7E && p[i] != '<') {
            s += static_cast<char>(p[i]);
        } else {
            std::snprintf(sz, sizeof sz, "<%02x>", p[i]);
            s += sz;
        }
    }
    return s;
}

CTraceDriver::CTraceDriver(ICommDriver& inner, LineWriter writeLine, const std::string& strUnit)
    : m_inner(inner), m_writeLine(std::move(writeLine)), m_strUnit(strUnit)
{
    TraceMs(); // the clock starts with the first port
}

ICommHandle* CTraceDriver::Traced(ICommHandle* pHandle, const std::string& strPort)
{
    if (!pHandle) {
        m_writeLine(TraceLine(TraceMs(), strPort, '-', nullptr, 0) + "open failed");
        return nullptr;
    }
    m_writeLine(TraceLine(TraceMs(), strPort, '-', nullptr, 0) + "opened");
    return new CTraceHandle(pHandle, strPort, m_writeLine);
}

ICommHandle* CTraceDriver::OpenDevice(const char* pszName)
{
    return Traced(m_inner.OpenDevice(pszName), m_strUnit.empty() ? PortOf(pszName) : m_strUnit);
}

ICommHandle* CTraceDriver::OpenDeviceReporting(const char* pszName, SOpenError* pError)
{
    return Traced(m_inner.OpenDeviceReporting(pszName, pError), m_strUnit.empty() ? PortOf(pszName) : m_strUnit);
}

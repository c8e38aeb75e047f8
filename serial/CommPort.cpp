#include "CommPort.h"

CCommPort::CCommPort(ICommDriver* pDriver)
    : m_pDriver(pDriver ? pDriver : &PlatformCommDriver()), m_hPort(nullptr)
{
}

CCommPort::~CCommPort()
{
    delete m_hPort;
}

int CCommPort::Open(const char* pszName, uint32_t nBaud, uint32_t nTimeoutMs)
{
    // An open port stays open and untouched.
    if (m_hPort)
        return 0;
    m_hPort = m_pDriver->OpenDeviceReporting(pszName, &m_lastOpenError);
    if (!m_hPort)
        return 0;
    // The later steps are not tried after the first failure.
    bool bOk = m_hPort->SetQueues(kQueueSize, kQueueSize)
        && m_hPort->SetLine(nBaud)
        && SetTimeouts(nTimeoutMs) != 0;
    if (!bOk) {
        m_lastOpenError.eReason = kOpenOther;
        m_lastOpenError.nOsCode = 0;
        // A serial server whose port is taken agrees to talk, then hangs up.
        if (m_hPort->LineLost()) {
            m_lastOpenError.eReason = kOpenBusy;
            m_lastOpenError.strDetail = "the server closed the connection at once: its port is in use or cannot be opened";
        }
        delete m_hPort;
        m_hPort = nullptr;
        return 0;
    }
    return 1;
}

int CCommPort::SetTimeouts(uint32_t nTimeoutMs)
{
    if (!m_hPort)
        return 0;
    return m_hPort->SetReadTimeouts(nTimeoutMs, nTimeoutMs, nTimeoutMs) ? 1 : 0;
}

int CCommPort::Read(void* pBuffer, uint32_t nCount)
{
    if (!m_hPort)
        return 0;
    uint32_t nRead = 0;
    if (!m_hPort->ReadBytes(pBuffer, nCount, &nRead))
        return 0;
    return nRead == nCount ? 1 : 0;
}

int CCommPort::Write(const void* pBuffer, uint32_t nCount)
{
    if (!m_hPort)
        return 0;
    uint32_t nWritten = 0;
    if (!m_hPort->WriteBytes(pBuffer, nCount, &nWritten))
        return 0;
    return nWritten == nCount ? 1 : 0;
}

int CCommPort::Close()
{
    delete m_hPort;
    m_hPort = nullptr;
    return 1;
}

int CCommPort::Purge()
{
    if (!m_hPort)
        return 0;
    return m_hPort->Purge() ? 1 : 0;
}

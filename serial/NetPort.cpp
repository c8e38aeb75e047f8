#include "NetPort.h"

#include <cctype>
#include <cstring>

namespace {

// Longest single wait of a read, as on a local port.
const int64_t kSliceUs = 20000;
// Negotiation answers owed to the server go out within this.
const int64_t kReplyWaitUs = 1000000;

thread_local const std::function<bool()>* t_pOpenCancel = nullptr;

} // namespace

void ExplainConnectFailure(const SNetAddress& address, EConnectFailure eHow, int nOsCode, uint32_t nTimeoutMs,
                           const std::string& strOther, SOpenError* pError)
{
    bool bV6 = address.strHost.find(':') != std::string::npos;
    std::string strWhere = (bV6 ? "[" + address.strHost + "]" : address.strHost) + ":" + std::to_string(address.nPort);
    pError->nOsCode = nOsCode;
    pError->eReason = eHow == EConnectFailure::kRefused ? kOpenBusy : kOpenOther;
    switch (eHow) {
    case EConnectFailure::kRefused:
        pError->strDetail = "connection refused: nothing serves " + strWhere + " (is the serial server running, its port free?)";
        break;
    case EConnectFailure::kTimedOut:
        pError->strDetail = "no answer from " + strWhere + " within " + std::to_string(nTimeoutMs / 1000) + " s";
        break;
    case EConnectFailure::kStopped:
        pError->strDetail = "stopped while connecting";
        break;
    case EConnectFailure::kOther:
        pError->strDetail = strOther;
        break;
    }
}

// ---- the handle ----

CNetCommHandle::CNetCommHandle(std::unique_ptr<INetTransport> pTransport, ENetKind eKind)
    : m_pTransport(std::move(pTransport)), m_eKind(eKind)
{
}

bool CNetCommHandle::SendRaw(const std::string& strBytes, int64_t nWaitUs)
{
    return strBytes.empty()
        || m_pTransport->Send(reinterpret_cast<const uint8_t*>(strBytes.data()), strBytes.size(), nWaitUs);
}

bool CNetCommHandle::Pump(int64_t nWaitUs)
{
    uint8_t buf[4096];
    int r = m_pTransport->Receive(buf, sizeof buf, nWaitUs);
    if (r < 0)
        return false;
    if (r == 0)
        return true;
    if (m_nDataAt == m_data.size()) {
        m_data.clear();
        m_nDataAt = 0;
    }
    if (m_eKind == kNetSocket) {
        m_data.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(r));
        return true;
    }
    std::string reply;
    m_codec.Decode(buf, static_cast<size_t>(r), &m_data, &reply);
    SendRaw(reply, kReplyWaitUs);
    return true;
}

bool CNetCommHandle::Negotiate(std::string* pstrWhy, const std::function<bool()>& cancelled)
{
    const char* pszInUse = "the server closed the connection at once: its port is in use or cannot be opened";
    if (m_eKind == kNetRfc2217 && !NegotiateComPort(pstrWhy, cancelled))
        return false;
    // A server whose port is served to another client (ser2net) accepts,
    // agrees, says so in words and hangs up at once: give it the moment to,
    // so that such a port fails to open instead of failing the run later.
    const int64_t nSettleEnd = m_pTransport->NowUs() + static_cast<int64_t>(kSettleMs) * 1000;
    for (int64_t nLeft; (nLeft = nSettleEnd - m_pTransport->NowUs()) > 0;) {
        if (!Pump(nLeft)) {
            *pstrWhy = pszInUse;
            return false;
        }
    }
    return true;
}

bool CNetCommHandle::NegotiateComPort(std::string* pstrWhy, const std::function<bool()>& cancelled)
{
    if (!SendRaw(m_codec.Hello(), kReplyWaitUs)) {
        *pstrWhy = "the server closed the connection at once: its port is in use or cannot be opened";
        return false;
    }
    const int64_t nStart = m_pTransport->NowUs();
    const int64_t nLimitUs = static_cast<int64_t>(kNegotiationMs) * 1000;
    while (!m_codec.ComPortAgreed() && !m_codec.ComPortRefused()) {
        int64_t nLeft = nStart + nLimitUs - m_pTransport->NowUs();
        if (nLeft <= 0) {
            *pstrWhy = "no RFC 2217 answer within " + std::to_string(kNegotiationMs / 1000)
                + " s: is the server's port set up as telnet(rfc2217)? (socket:// is for raw TCP)";
            return false;
        }
        if (cancelled && cancelled()) {
            *pstrWhy = "stopped while connecting";
            return false;
        }
        if (!Pump(nLeft < kSliceUs ? nLeft : kSliceUs)) {
            *pstrWhy = "the server closed the connection at once: its port is in use or cannot be opened";
            return false;
        }
    }
    if (m_codec.ComPortRefused()) {
        *pstrWhy = "the server does not take RFC 2217 line settings: is its port set up as telnet(rfc2217)?"
                   " (socket:// is for raw TCP)";
        return false;
    }
    return true;
}

bool CNetCommHandle::SetQueues(uint32_t, uint32_t)
{
    return true; // the server's queues are its own
}

bool CNetCommHandle::SetLine(uint32_t nBaud)
{
    m_nBaud = nBaud;
    if (m_eKind == kNetSocket)
        return true;
    // As a local port sets its line: 8N1, no flow control, DTR and RTS off.
    // The server's answers are not waited for: a port without modem lines
    // (a pseudo terminal) never acknowledges the control requests.
    using namespace telnet;
    std::string s = CTelnetCodec::SetBaudRate(nBaud) + CTelnetCodec::ComPortCommand(kSetDataSize, 8)
        + CTelnetCodec::ComPortCommand(kSetParity, kParityNone) + CTelnetCodec::ComPortCommand(kSetStopSize, kStopOne)
        + CTelnetCodec::ComPortCommand(kSetControl, kControlNoFlow)
        + CTelnetCodec::ComPortCommand(kSetControl, kControlDtrOff)
        + CTelnetCodec::ComPortCommand(kSetControl, kControlRtsOff);
    return SendRaw(s, kReplyWaitUs);
}

bool CNetCommHandle::SetReadTimeouts(uint32_t nInterval, uint32_t nMultiplier, uint32_t nConstant)
{
    m_nInterval = nInterval;
    m_nMultiplier = nMultiplier;
    m_nConstant = nConstant;
    return true;
}

bool CNetCommHandle::ReadBytes(void* pBuffer, uint32_t nCount, uint32_t* pnRead)
{
    // The rule of a local port: a read of n bytes ends when all came, when
    // more than the interval passes between two bytes after the first, or
    // after multiplier * n + constant ms. Negotiation is no byte of the line.
    uint8_t* p = static_cast<uint8_t*>(pBuffer);
    uint32_t nGot = 0;
    const int64_t nStart = m_pTransport->NowUs();
    const int64_t nTotalUs = (static_cast<int64_t>(m_nMultiplier) * nCount + m_nConstant) * 1000;
    const int64_t nIntervalUs = static_cast<int64_t>(m_nInterval) * 1000;
    int64_t nLastByte = 0;
    while (nGot < nCount) {
        size_t nHave = m_data.size() - m_nDataAt;
        if (nHave > 0) {
            size_t nTake = nHave < nCount - nGot ? nHave : nCount - nGot;
            std::memcpy(p + nGot, m_data.data() + m_nDataAt, nTake);
            m_nDataAt += nTake;
            nGot += static_cast<uint32_t>(nTake);
            nLastByte = m_pTransport->NowUs();
            continue;
        }
        const int64_t nNow = m_pTransport->NowUs();
        int64_t nLeft = nStart + nTotalUs - nNow;
        if (nGot > 0 && nLastByte + nIntervalUs - nNow < nLeft)
            nLeft = nLastByte + nIntervalUs - nNow;
        // "More than t ms between two bytes": equality still waits.
        if (nLeft < 0)
            break;
        const int64_t nWait = nLeft < kSliceUs ? nLeft + 1 : kSliceUs;
        // A connection that is gone brings nothing more: its wait is slept
        // out, as a hung-up local device's, so that callers do not spin.
        if (m_pTransport->LinkLost() || !Pump(nWait))
            m_pTransport->Pause(nWait);
    }
    *pnRead = nGot;
    return true;
}

bool CNetCommHandle::WriteBytes(const void* pBuffer, uint32_t nCount, uint32_t* pnWritten)
{
    // As a local port: twice the line time of the bytes plus one second.
    const int64_t nLineUs = m_nBaud ? static_cast<int64_t>(nCount) * 10 * 1000000 / m_nBaud : 0;
    const int64_t nWaitUs = 2 * nLineUs + 1000000;
    const uint8_t* p = static_cast<const uint8_t*>(pBuffer);
    bool bOk;
    if (m_eKind == kNetSocket) {
        bOk = m_pTransport->Send(p, nCount, nWaitUs);
    } else {
        std::string s;
        CTelnetCodec::Escape(p, nCount, &s);
        bOk = SendRaw(s, nWaitUs);
    }
    *pnWritten = bOk ? nCount : 0;
    return bOk;
}

bool CNetCommHandle::Purge()
{
    m_data.clear();
    m_nDataAt = 0;
    if (m_eKind == kNetSocket)
        return true;
    return SendRaw(CTelnetCodec::ComPortCommand(telnet::kPurgeData, telnet::kPurgeReceive), kReplyWaitUs);
}

// ---- opening ----

CNetOpenCancel::CNetOpenCancel(std::function<bool()> cancelled)
    : m_cancelled(std::move(cancelled)), m_pOuter(t_pOpenCancel)
{
    t_pOpenCancel = &m_cancelled;
}

CNetOpenCancel::~CNetOpenCancel()
{
    t_pOpenCancel = m_pOuter;
}

ICommHandle* OpenNetPort(const std::string& strName, SOpenError* pError)
{
    *pError = SOpenError();
    SNetAddress address;
    std::string strWhy;
    if (!ParseNetPortName(strName, &address, &strWhy)) {
        pError->eReason = kOpenNoDevice;
        pError->strDetail = strWhy;
        return nullptr;
    }
    std::function<bool()> cancelled;
    if (t_pOpenCancel)
        cancelled = *t_pOpenCancel;
    std::unique_ptr<INetTransport> pTransport = ConnectTcp(address, kNetConnectMs, pError, cancelled);
    if (!pTransport)
        return nullptr;
    std::unique_ptr<CNetCommHandle> pHandle(new CNetCommHandle(std::move(pTransport), address.eKind));
    if (!pHandle->Negotiate(&strWhy, cancelled)) {
        // Closed at once: the server's port is taken (or will not open).
        pError->eReason = pHandle->LineLost() ? kOpenBusy : kOpenOther;
        pError->nOsCode = 0;
        pError->strDetail = strWhy;
        return nullptr;
    }
    return pHandle.release();
}

namespace {

class CNetAwareDriver : public ICommDriver
{
public:
    ICommHandle* OpenDevice(const char* pszName) override
    {
        SOpenError error;
        return OpenDeviceReporting(pszName, &error);
    }
    ICommHandle* OpenDeviceReporting(const char* pszName, SOpenError* pError) override
    {
        if (pszName && IsNetPortName(pszName))
            return OpenNetPort(pszName, pError);
        return PlatformCommDriver().OpenDeviceReporting(pszName, pError);
    }
};

} // namespace

ICommDriver& NetAwareCommDriver()
{
    static CNetAwareDriver driver;
    return driver;
}

// A unit behind a serial device server, reached over TCP: "rfc2217://HOST:PORT"
// (Telnet with the COM-PORT-OPTION: the server's port takes our line
// settings) or "socket://HOST:PORT" (raw bytes; the server's port is set up
// on the server). The same handle as a local port: the same read time-out
// rule, so the update's limits are those of a local port.
#pragma once

#include "CommPort.h"
#include "NetPortName.h"
#include "TelnetCodec.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// A connected byte stream, as the handle needs it. Implemented on sockets by
// each platform and played on virtual time by tests.
class INetTransport
{
public:
    virtual ~INetTransport() {}
    // Up to nCount bytes, waiting at most nWaitUs for the first of them:
    // how many came (0: none in time), or -1 once the connection is gone.
    virtual int Receive(uint8_t* pBuffer, size_t nCount, int64_t nWaitUs) = 0;
    // All of the bytes within nWaitUs; false when they did not all go or the
    // connection is gone (then LinkLost says so).
    virtual bool Send(const uint8_t* pData, size_t nCount, int64_t nWaitUs) = 0;
    // The connection was closed or reset by the other end.
    virtual bool LinkLost() const = 0;
    // Monotonic microseconds, and a pause on the same clock.
    virtual int64_t NowUs() = 0;
    virtual void Pause(int64_t nUs) = 0;
};

// The handle of a network port over a connected transport.
class CNetCommHandle : public ICommHandle
{
public:
    // How long the server has to agree to the COM-PORT-OPTION.
    static const uint32_t kNegotiationMs = 3000;
    // How long a new connection is watched for the server hanging up.
    static const uint32_t kSettleMs = 30;

    CNetCommHandle(std::unique_ptr<INetTransport> pTransport, ENetKind eKind);

    // rfc2217: the Telnet negotiation, until the server agrees to the
    // COM-PORT-OPTION; then, for both kinds, kSettleMs in which the server
    // must not hang up. False when it refuses the option, says nothing
    // about it in time or hangs up (the reason in *pstrWhy).
    bool Negotiate(std::string* pstrWhy, const std::function<bool()>& cancelled = std::function<bool()>());

    bool SetQueues(uint32_t nIn, uint32_t nOut) override;
    bool SetLine(uint32_t nBaud) override;
    bool SetReadTimeouts(uint32_t nInterval, uint32_t nMultiplier, uint32_t nConstant) override;
    bool ReadBytes(void* pBuffer, uint32_t nCount, uint32_t* pnRead) override;
    bool WriteBytes(const void* pBuffer, uint32_t nCount, uint32_t* pnWritten) override;
    bool Purge() override;
    bool LineLost() const override { return m_pTransport->LinkLost(); }

    const CTelnetCodec& Codec() const { return m_codec; }

private:
    // Receives once (waiting up to nWaitUs) and decodes into m_data; false
    // once the connection is gone.
    bool Pump(int64_t nWaitUs);
    bool SendRaw(const std::string& strBytes, int64_t nWaitUs);
    bool NegotiateComPort(std::string* pstrWhy, const std::function<bool()>& cancelled);

    std::unique_ptr<INetTransport> m_pTransport;
    ENetKind m_eKind;
    CTelnetCodec m_codec;
    std::string m_data; // decoded bytes not yet read
    size_t m_nDataAt = 0;
    uint32_t m_nBaud = 0;
    uint32_t m_nInterval = 0;
    uint32_t m_nMultiplier = 0;
    uint32_t m_nConstant = 0;
};

// How long a connection may take to be made.
const uint32_t kNetConnectMs = 5000;

// Connects to the server: null with the reason in *pError when it cannot.
// Refused: kOpenBusy (the server's port is closed or served to another
// client); an unknown host: kOpenNoDevice; no answer in time: kOpenOther.
// The platform's own code goes to nOsCode, the operator's words to
// strDetail. Each platform implements it on its sockets.
std::unique_ptr<INetTransport> ConnectTcp(const SNetAddress& address, uint32_t nTimeoutMs, SOpenError* pError,
                                          const std::function<bool()>& cancelled);

// How a connection failed, in the operator's words, the same on every
// platform: refused (kOpenBusy), no answer within nTimeoutMs or stopped
// while waiting, or another failure described by strOther.
enum class EConnectFailure { kRefused, kTimedOut, kStopped, kOther };
void ExplainConnectFailure(const SNetAddress& address, EConnectFailure eHow, int nOsCode, uint32_t nTimeoutMs,
                           const std::string& strOther, SOpenError* pError);

// Opens a network port by its name.
ICommHandle* OpenNetPort(const std::string& strName, SOpenError* pError);

// The platform's driver that also opens network port names. Only the
// command line takes them: the window programs keep the platform's own
// driver and link no sockets.
ICommDriver& NetAwareCommDriver();

// While one lives, network opens on this thread give up as soon as the
// predicate says so (a stop during a connect or the negotiation).
class CNetOpenCancel
{
public:
    explicit CNetOpenCancel(std::function<bool()> cancelled);
    ~CNetOpenCancel();

private:
    std::function<bool()> m_cancelled;
    const std::function<bool()>* m_pOuter;
};

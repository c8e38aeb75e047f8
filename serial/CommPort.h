// The program's only access to a serial line: open with fixed line settings,
// read time-outs, exact-count reads and writes, close.
#pragma once

#include <cstdint>
#include <string>

// What the platform gives for one open communication device. The port object
// owns it; deleting it closes the device.
class ICommHandle
{
public:
    virtual ~ICommHandle() {}
    // Driver queue sizes.
    virtual bool SetQueues(uint32_t nIn, uint32_t nOut) = 0;
    // Raw 8N1 at nBaud, binary, no flow control of any kind, DTR and RTS off.
    virtual bool SetLine(uint32_t nBaud) = 0;
    // A read of n bytes ends when all came, when more than nInterval ms pass
    // between two bytes after the first, or after nMultiplier * n + nConstant ms.
    virtual bool SetReadTimeouts(uint32_t nInterval, uint32_t nMultiplier, uint32_t nConstant) = 0;
    virtual bool ReadBytes(void* pBuffer, uint32_t nCount, uint32_t* pnRead) = 0;
    virtual bool WriteBytes(const void* pBuffer, uint32_t nCount, uint32_t* pnWritten) = 0;
    // The device went away while open: a USB bridge pulled out, a network
    // connection closed or reset. Reads bring nothing and writes fail from
    // then on; the front end names such an end "unplugged" rather than a
    // silent unit.
    virtual bool LineLost() const { return false; }
    // Input waiting beyond our own buffers is to be thrown away (a device
    // server's queue); a local device has none, its drain reads it all.
    virtual bool Purge() { return true; }
};

// A handle that wraps another and passes every call on: the base of those
// that watch or record a port's traffic. It owns the inner handle; a
// subclass that must act after the device has closed calls CloseInner().
class CForwardingHandle : public ICommHandle
{
public:
    explicit CForwardingHandle(ICommHandle* pInner) : m_pInner(pInner) {}
    ~CForwardingHandle() override { CloseInner(); }
    bool SetQueues(uint32_t nIn, uint32_t nOut) override { return m_pInner->SetQueues(nIn, nOut); }
    bool SetLine(uint32_t nBaud) override { return m_pInner->SetLine(nBaud); }
    bool SetReadTimeouts(uint32_t nInterval, uint32_t nMultiplier, uint32_t nConstant) override
    {
        return m_pInner->SetReadTimeouts(nInterval, nMultiplier, nConstant);
    }
    bool ReadBytes(void* pBuffer, uint32_t nCount, uint32_t* pnRead) override
    {
        return m_pInner->ReadBytes(pBuffer, nCount, pnRead);
    }
    bool WriteBytes(const void* pBuffer, uint32_t nCount, uint32_t* pnWritten) override
    {
        return m_pInner->WriteBytes(pBuffer, nCount, pnWritten);
    }
    bool LineLost() const override { return m_pInner->LineLost(); }
    bool Purge() override { return m_pInner->Purge(); }

protected:
    void CloseInner()
    {
        delete m_pInner;
        m_pInner = nullptr;
    }
    ICommHandle* m_pInner;
};

// Why a port did not open, in terms every platform can give; nOsCode is the
// system's own code (errno, GetLastError) for the front end to show.
enum EOpenFailure
{
    kOpenNoFailure = 0,
    kOpenNoDevice,    // no such device
    kOpenDenied,      // the user may not open it
    kOpenBusy,        // another program holds it (or a network port's server refused the connection)
    kOpenOwnTerminal, // the terminal the program itself runs in
    kOpenOther        // anything else: not a serial device, line settings refused...
};

struct SOpenError
{
    EOpenFailure eReason = kOpenNoFailure;
    int nOsCode = 0;
    // The driver's own words for the operator, when the reason and code do
    // not say enough (a network port: refused, no answer...); "" otherwise.
    std::string strDetail;
};

// Opens devices by name. The platform's driver is the default; tests put a
// simulated instrument behind this seam.
class ICommDriver
{
public:
    virtual ~ICommDriver() {}
    // Exclusive open for reading and writing; null when the device does not
    // exist or another program holds it.
    virtual ICommHandle* OpenDevice(const char* pszName) = 0;
    // The same, saying why it failed. Drivers that cannot tell report "other".
    virtual ICommHandle* OpenDeviceReporting(const char* pszName, SOpenError* pError)
    {
        ICommHandle* p = OpenDevice(pszName);
        *pError = SOpenError();
        if (!p)
            pError->eReason = kOpenOther;
        return p;
    }
};

ICommDriver& PlatformCommDriver();

class CCommPort
{
public:
    // Queue sizes asked of the driver when the port opens.
    static const uint32_t kQueueSize = 1024;

    explicit CCommPort(ICommDriver* pDriver = nullptr);
    virtual ~CCommPort();

    int Open(const char* pszName, uint32_t nBaud, uint32_t nTimeoutMs);
    int SetTimeouts(uint32_t nTimeoutMs);
    int Read(void* pBuffer, uint32_t nCount);
    int Write(const void* pBuffer, uint32_t nCount);
    int Close();
    // Asks the far end to drop input it still holds (see ICommHandle::Purge).
    int Purge();
    bool LineLost() const { return m_hPort && m_hPort->LineLost(); }

    bool IsOpen() const { return m_hPort != nullptr; }
    // Why the last Open failed (kOpenNoFailure after a successful one).
    const SOpenError& LastOpenError() const { return m_lastOpenError; }

private:
    CCommPort(const CCommPort&) = delete;
    CCommPort& operator=(const CCommPort&) = delete;

    ICommDriver* m_pDriver;
    ICommHandle* m_hPort; // null while closed
    SOpenError m_lastOpenError;
};

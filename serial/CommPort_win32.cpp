// Win32 back end of CCommPort: a communication device opened exclusively for
// synchronous I/O, with fixed line settings and the read time-out rule done
// by the driver.
#include "CommPort.h"
#include "CommPort_win32.h"

#include <cstring>

void BuildLineSettings(uint32_t nBaud, DCB* pDcb)
{
    // Never read the port's current settings: nothing of a previous
    // configuration may survive.
    std::memset(pDcb, 0, sizeof *pDcb);
    pDcb->DCBlength = sizeof *pDcb;
    pDcb->BaudRate = nBaud;
    pDcb->fBinary = 1;
    pDcb->fDtrControl = DTR_CONTROL_DISABLE;
    pDcb->fRtsControl = RTS_CONTROL_DISABLE;
    pDcb->ByteSize = 8;
    pDcb->Parity = NOPARITY;
    pDcb->StopBits = ONESTOPBIT;
}

void BuildReadTimeouts(uint32_t nInterval, uint32_t nMultiplier, uint32_t nConstant, COMMTIMEOUTS* pTimeouts)
{
    std::memset(pTimeouts, 0, sizeof *pTimeouts);
    pTimeouts->ReadIntervalTimeout = nInterval;
    pTimeouts->ReadTotalTimeoutMultiplier = nMultiplier;
    pTimeouts->ReadTotalTimeoutConstant = nConstant;
    pTimeouts->WriteTotalTimeoutMultiplier = 0;
    pTimeouts->WriteTotalTimeoutConstant = 0;
}

namespace {

class CWin32CommHandle : public ICommHandle
{
public:
    explicit CWin32CommHandle(HANDLE hPort) : m_hPort(hPort) {}
    ~CWin32CommHandle() override { CloseHandle(m_hPort); }

    bool SetQueues(uint32_t nIn, uint32_t nOut) override
    {
        return SetupComm(m_hPort, nIn, nOut) != FALSE;
    }

    bool SetLine(uint32_t nBaud) override
    {
        DCB dcb;
        BuildLineSettings(nBaud, &dcb);
        return SetCommState(m_hPort, &dcb) != FALSE;
    }

    bool SetReadTimeouts(uint32_t nInterval, uint32_t nMultiplier, uint32_t nConstant) override
    {
        COMMTIMEOUTS timeouts;
        BuildReadTimeouts(nInterval, nMultiplier, nConstant, &timeouts);
        return SetCommTimeouts(m_hPort, &timeouts) != FALSE;
    }

    bool ReadBytes(void* pBuffer, uint32_t nCount, uint32_t* pnRead) override
    {
        DWORD nRead = 0;
        BOOL bOk = ReadFile(m_hPort, pBuffer, nCount, &nRead, nullptr);
        *pnRead = nRead;
        return bOk != FALSE;
    }

    bool WriteBytes(const void* pBuffer, uint32_t nCount, uint32_t* pnWritten) override
    {
        DWORD nWritten = 0;
        BOOL bOk = WriteFile(m_hPort, pBuffer, nCount, &nWritten, nullptr);
        *pnWritten = nWritten;
        return bOk != FALSE;
    }

private:
    HANDLE m_hPort;
};

class CWin32CommDriver : public ICommDriver
{
public:
    ICommHandle* OpenDevice(const char* pszName) override
    {
        SOpenError error;
        return OpenDeviceReporting(pszName, &error);
    }

    ICommHandle* OpenDeviceReporting(const char* pszName, SOpenError* pError) override
    {
        *pError = SOpenError();
        if (!pszName) {
            pError->eReason = kOpenNoDevice;
            return nullptr;
        }
        // Share mode 0: a port that another program holds does not open.
        HANDLE hPort = CreateFileA(pszName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hPort == INVALID_HANDLE_VALUE) {
            DWORD nError = GetLastError();
            pError->nOsCode = static_cast<int>(nError);
            switch (nError) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
                pError->eReason = kOpenNoDevice;
                break;
            // A COM port that another program has open refuses access.
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION:
                pError->eReason = kOpenBusy;
                break;
            default:
                pError->eReason = kOpenOther;
                break;
            }
            return nullptr;
        }
        return new CWin32CommHandle(hPort);
    }
};

} // namespace

ICommDriver& PlatformCommDriver()
{
    static CWin32CommDriver driver;
    return driver;
}

// Winsock under the network port: a non-blocking TCP connection with
// TCP_NODELAY, as on POSIX.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "NetPort.h"

#include <mutex>

namespace {

const int kCancelLookMs = 20;

bool StartWinsock()
{
    static std::once_flag once;
    static bool bStarted = false;
    std::call_once(once, [] {
        WSADATA data;
        bStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return bStarted;
}

int64_t MonotonicUs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<int64_t>(now.QuadPart / frequency.QuadPart * 1000000
                                + now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart);
}

// Waits up to nUs for the socket to become readable (or writable); a failed
// connect shows in the exception set.
bool WaitFor(SOCKET s, bool bWrite, int64_t nUs, bool* pbFailed = nullptr)
{
    if (nUs < 0)
        nUs = 0;
    fd_set set, failed;
    FD_ZERO(&set);
    FD_SET(s, &set);
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval tv;
    tv.tv_sec = static_cast<long>(nUs / 1000000);
    tv.tv_usec = static_cast<long>(nUs % 1000000);
    int r = select(0, bWrite ? nullptr : &set, bWrite ? &set : nullptr, &failed, &tv);
    if (pbFailed)
        *pbFailed = r > 0 && FD_ISSET(s, &failed);
    return r > 0 && FD_ISSET(s, &set);
}

class CWinsockTransport : public INetTransport
{
public:
    explicit CWinsockTransport(SOCKET s) : m_s(s) {}
    ~CWinsockTransport() override { closesocket(m_s); }

    int Receive(uint8_t* pBuffer, size_t nCount, int64_t nWaitUs) override
    {
        if (m_bLost)
            return -1;
        if (!WaitFor(m_s, false, nWaitUs))
            return 0;
        int r = recv(m_s, reinterpret_cast<char*>(pBuffer), static_cast<int>(nCount), 0);
        if (r > 0)
            return r;
        if (r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
            return 0;
        m_bLost = true;
        return -1;
    }

    bool Send(const uint8_t* pData, size_t nCount, int64_t nWaitUs) override
    {
        const int64_t nDeadline = MonotonicUs() + nWaitUs;
        size_t nDone = 0;
        while (nDone < nCount && !m_bLost) {
            int r = send(m_s, reinterpret_cast<const char*>(pData + nDone), static_cast<int>(nCount - nDone), 0);
            if (r > 0) {
                nDone += static_cast<size_t>(r);
                continue;
            }
            int nError = WSAGetLastError();
            if (nError != WSAEWOULDBLOCK) {
                m_bLost = nError == WSAECONNRESET || nError == WSAECONNABORTED || nError == WSAENOTCONN
                    || nError == WSAESHUTDOWN || nError == WSAENETRESET || nError == WSAETIMEDOUT;
                break;
            }
            int64_t nLeft = nDeadline - MonotonicUs();
            if (nLeft <= 0)
                break;
            WaitFor(m_s, true, nLeft);
        }
        return nDone == nCount;
    }

    bool LinkLost() const override { return m_bLost; }
    int64_t NowUs() override { return MonotonicUs(); }
    void Pause(int64_t nUs) override
    {
        if (nUs > 0)
            Sleep(static_cast<DWORD>((nUs + 999) / 1000));
    }

private:
    SOCKET m_s;
    bool m_bLost = false;
};

} // namespace

std::unique_ptr<INetTransport> ConnectTcp(const SNetAddress& address, uint32_t nTimeoutMs, SOpenError* pError,
                                          const std::function<bool()>& cancelled)
{
    if (!StartWinsock()) {
        pError->eReason = kOpenOther;
        pError->nOsCode = WSAGetLastError();
        pError->strDetail = "Winsock did not start (error " + std::to_string(pError->nOsCode) + ")";
        return nullptr;
    }
    addrinfo hints;
    ZeroMemory(&hints, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* pList = nullptr;
    std::string strPort = std::to_string(address.nPort);
    int nGai = getaddrinfo(address.strHost.c_str(), strPort.c_str(), &hints, &pList);
    if (nGai != 0) {
        pError->eReason = nGai == WSAHOST_NOT_FOUND || nGai == WSANO_DATA ? kOpenNoDevice : kOpenOther;
        pError->nOsCode = nGai;
        pError->strDetail = "unknown host '" + address.strHost + "' (error " + std::to_string(nGai) + ")";
        return nullptr;
    }
    const int64_t nDeadline = MonotonicUs() + static_cast<int64_t>(nTimeoutMs) * 1000;
    int nLastError = 0;
    bool bTimedOut = false;
    for (addrinfo* p = pList; p; p = p->ai_next) {
        SOCKET s = socket(p->ai_family, p->ai_socktype, p->ai_protocol);
        if (s == INVALID_SOCKET) {
            nLastError = WSAGetLastError();
            continue;
        }
        u_long nNonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nNonBlocking);
        int nErr = 0;
        if (connect(s, p->ai_addr, static_cast<int>(p->ai_addrlen)) != 0)
            nErr = WSAGetLastError();
        if (nErr == WSAEWOULDBLOCK) {
            nErr = WSAETIMEDOUT;
            for (;;) {
                int64_t nLeft = nDeadline - MonotonicUs();
                if (nLeft <= 0 || (cancelled && cancelled()))
                    break;
                bool bFailed = false;
                bool bReady = WaitFor(s, true, nLeft < kCancelLookMs * 1000 ? nLeft : kCancelLookMs * 1000, &bFailed);
                if (bReady || bFailed) {
                    int nLen = sizeof nErr;
                    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nErr), &nLen) != 0)
                        nErr = WSAGetLastError();
                    if (bFailed && nErr == 0)
                        nErr = WSAECONNREFUSED;
                    break;
                }
            }
        }
        if (nErr == 0) {
            freeaddrinfo(pList);
            BOOL bOne = TRUE;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bOne), sizeof bOne);
            return std::unique_ptr<INetTransport>(new CWinsockTransport(s));
        }
        closesocket(s);
        nLastError = nErr;
        if (nErr == WSAETIMEDOUT) {
            bTimedOut = true;
            break;
        }
    }
    freeaddrinfo(pList);
    EConnectFailure eHow = nLastError == WSAECONNREFUSED ? EConnectFailure::kRefused
        : !bTimedOut                       ? EConnectFailure::kOther
        : (cancelled && cancelled())       ? EConnectFailure::kStopped
                                           : EConnectFailure::kTimedOut;
    ExplainConnectFailure(address, eHow, nLastError, nTimeoutMs,
                          "the connection failed (error " + std::to_string(nLastError) + ")", pError);
    return nullptr;
}

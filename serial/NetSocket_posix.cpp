// POSIX sockets under the network port: a non-blocking TCP connection with
// TCP_NODELAY (every frame goes out at once, as on a local line).
#include "NetPort.h"
#include "PollWait_posix.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Longest wait between two looks at a stop while connecting.
const int kCancelLookMs = 20;

bool WaitFor(int fd, short nEvents, int64_t nUs)
{
    return PollUs(fd, nEvents, nUs) != 0;
}

bool ConnectionGone(int nErrno)
{
    return nErrno == ECONNRESET || nErrno == EPIPE || nErrno == ENOTCONN || nErrno == ETIMEDOUT
        || nErrno == ECONNABORTED || nErrno == EHOSTUNREACH || nErrno == ENETUNREACH || nErrno == ENETDOWN;
}

class CPosixTransport : public INetTransport
{
public:
    explicit CPosixTransport(int fd) : m_fd(fd) {}
    ~CPosixTransport() override { close(m_fd); }

    int Receive(uint8_t* pBuffer, size_t nCount, int64_t nWaitUs) override
    {
        if (m_bLost)
            return -1;
        for (int nTry = 0; nTry < 2; ++nTry) {
            ssize_t r = recv(m_fd, pBuffer, nCount, MSG_DONTWAIT);
            if (r > 0)
                return static_cast<int>(r);
            if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                m_bLost = true;
                return -1;
            }
            if (nTry == 0 && !WaitFor(m_fd, POLLIN, nWaitUs))
                return 0;
        }
        return 0;
    }

    bool Send(const uint8_t* pData, size_t nCount, int64_t nWaitUs) override
    {
        const int64_t nDeadline = MonotonicUs() + nWaitUs;
        size_t nDone = 0;
        while (nDone < nCount && !m_bLost) {
            ssize_t r = send(m_fd, pData + nDone, nCount - nDone, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (r > 0) {
                nDone += static_cast<size_t>(r);
                continue;
            }
            if (r < 0 && ConnectionGone(errno)) {
                m_bLost = true;
                break;
            }
            if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                break;
            int64_t nLeft = nDeadline - MonotonicUs();
            if (nLeft <= 0)
                break;
            WaitFor(m_fd, POLLOUT, nLeft);
        }
        return nDone == nCount;
    }

    bool LinkLost() const override { return m_bLost; }
    int64_t NowUs() override { return MonotonicUs(); }
    void Pause(int64_t nUs) override { SleepUs(nUs); }

private:
    int m_fd;
    bool m_bLost = false;
};

} // namespace

std::unique_ptr<INetTransport> ConnectTcp(const SNetAddress& address, uint32_t nTimeoutMs, SOpenError* pError,
                                          const std::function<bool()>& cancelled)
{
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* pList = nullptr;
    std::string strPort = std::to_string(address.nPort);
    int nGai = getaddrinfo(address.strHost.c_str(), strPort.c_str(), &hints, &pList);
    if (nGai != 0) {
        pError->eReason = nGai == EAI_NONAME || nGai == EAI_FAIL ? kOpenNoDevice : kOpenOther;
        pError->nOsCode = nGai == EAI_SYSTEM ? errno : 0;
        pError->strDetail = "unknown host '" + address.strHost + "' (" + gai_strerror(nGai) + ")";
        return nullptr;
    }
    const int64_t nDeadline = MonotonicUs() + static_cast<int64_t>(nTimeoutMs) * 1000;
    int nLastErrno = 0;
    bool bTimedOut = false;
    for (addrinfo* p = pList; p; p = p->ai_next) {
        int fd = socket(p->ai_family, p->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, p->ai_protocol);
        if (fd < 0) {
            nLastErrno = errno;
            continue;
        }
        int nErr = connect(fd, p->ai_addr, p->ai_addrlen) == 0 ? 0 : errno;
        if (nErr == EINPROGRESS) {
            nErr = ETIMEDOUT;
            for (;;) {
                int64_t nLeft = nDeadline - MonotonicUs();
                if (nLeft <= 0 || (cancelled && cancelled()))
                    break;
                if (WaitFor(fd, POLLOUT, nLeft < kCancelLookMs * 1000 ? nLeft : kCancelLookMs * 1000)) {
                    socklen_t nLen = sizeof nErr;
                    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &nErr, &nLen) != 0)
                        nErr = errno;
                    break;
                }
            }
        }
        if (nErr == 0) {
            freeaddrinfo(pList);
            int nOne = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof nOne);
            return std::unique_ptr<INetTransport>(new CPosixTransport(fd));
        }
        close(fd);
        nLastErrno = nErr;
        if (nErr == ETIMEDOUT) {
            bTimedOut = true;
            break;
        }
    }
    freeaddrinfo(pList);
    EConnectFailure eHow = nLastErrno == ECONNREFUSED ? EConnectFailure::kRefused
        : !bTimedOut                       ? EConnectFailure::kOther
        : (cancelled && cancelled())       ? EConnectFailure::kStopped
                                           : EConnectFailure::kTimedOut;
    ExplainConnectFailure(address, eHow, nLastErrno, nTimeoutMs,
                          std::string(std::strerror(nLastErrno)) + " (error " + std::to_string(nLastErrno) + ")", pError);
    return nullptr;
}

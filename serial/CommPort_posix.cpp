// POSIX back end of CCommPort: a tty opened exclusively, raw 8N1, with the
// read time-out rule measured on the monotonic clock.
#include "CommPort.h"
#include "ComNames.h"
#include "PollWait_posix.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

namespace {

// Longest single wait; one long poll would overshoot the deadline.
const int64_t kSliceUs = 20000;

// Waits up to nUs for fd to become ready for nEvents. Returns true when it
// is; a hung-up device never counts as ready, and its wait is slept out so
// that callers do not spin.
bool WaitReady(int fd, short nEvents, int64_t nUs)
{
    int64_t nStart = MonotonicUs();
    short nCame = PollUs(fd, nEvents, nUs);
    if (nCame & nEvents)
        return true;
    if (nCame)
        SleepUs(nUs - (MonotonicUs() - nStart)); // POLLHUP or POLLERR only
    return false;
}

bool BaudToSpeed(uint32_t nBaud, speed_t* pSpeed)
{
    struct SEntry { uint32_t nBaud; speed_t speed; };
    static const SEntry kTable[] = {
        {1200, B1200}, {2400, B2400}, {4800, B4800}, {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
        {230400, B230400},
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B921600
        {921600, B921600},
#endif
#ifdef B1000000
        {1000000, B1000000},
#endif
    };
    for (const SEntry& e : kTable) {
        if (e.nBaud == nBaud) {
            *pSpeed = e.speed;
            return true;
        }
    }
    return false;
}

class CPosixCommHandle : public ICommHandle
{
public:
    // saved: the device's settings as found, put back on closing.
    CPosixCommHandle(int fd, const termios& saved) : m_fd(fd), m_saved(saved) {}

    ~CPosixCommHandle() override
    {
        // The next user of the device (a terminal given as the port, a pty)
        // finds it as it was, not raw at our speed.
        if (m_bLowLatencySet)
            SetLowLatency(false);
        tcsetattr(m_fd, TCSANOW, &m_saved);
        // A pty keeps TIOCEXCL after the last close; clear it for the next
        // opener. The flag is our own: a port that was opened with another
        // program's flag set was refused.
        ioctl(m_fd, TIOCNXCL);
        flock(m_fd, LOCK_UN);
        close(m_fd);
    }

    bool SetQueues(uint32_t, uint32_t) override
    {
        // POSIX has no call to size a driver's queues; the kernel's own
        // buffers serve.
        return true;
    }

    bool SetLine(uint32_t nBaud) override
    {
        speed_t speed;
        if (!BaudToSpeed(nBaud, &speed))
            return false;
        // Built from zeros, nothing of an earlier configuration survives:
        // raw, 8 data bits, no parity, one stop bit, receiver on, modem
        // status ignored, no software or hardware flow control.
        termios tio;
        std::memset(&tio, 0, sizeof tio);
        tio.c_cflag = CS8 | CREAD | CLOCAL;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
            return false;
        if (tcsetattr(m_fd, TCSANOW, &tio) != 0)
            return false;
        termios check;
        if (tcgetattr(m_fd, &check) != 0 || cfgetospeed(&check) != speed)
            return false;
        int nLines = TIOCM_DTR | TIOCM_RTS;
        if (ioctl(m_fd, TIOCMBIC, &nLines) != 0 && errno != ENOTTY)
            return false; // a pseudo terminal has no modem lines: ENOTTY
        RequestLowLatency();
        m_nBaud = nBaud;
        return true;
    }

    bool SetReadTimeouts(uint32_t nInterval, uint32_t nMultiplier, uint32_t nConstant) override
    {
        m_nInterval = nInterval;
        m_nMultiplier = nMultiplier;
        m_nConstant = nConstant;
        return true;
    }

    bool ReadBytes(void* pBuffer, uint32_t nCount, uint32_t* pnRead) override
    {
        uint8_t* p = static_cast<uint8_t*>(pBuffer);
        uint32_t nGot = 0;
        int64_t nStart = MonotonicUs();
        int64_t nTotalUs = (static_cast<int64_t>(m_nMultiplier) * nCount + m_nConstant) * 1000;
        int64_t nIntervalUs = static_cast<int64_t>(m_nInterval) * 1000;
        int64_t nLastByte = 0;
        bool bReadyReported = false;
        while (nGot < nCount) {
            ssize_t r = read(m_fd, p + nGot, nCount - nGot);
            int64_t nNow = MonotonicUs();
            if (r > 0) {
                nGot += static_cast<uint32_t>(r);
                nLastByte = nNow;
                bReadyReported = false;
                continue;
            }
            if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != EIO) {
                NoteLoss(errno);
                break;
            }
            // Nothing there: wait for more within both limits.
            int64_t nLeft = nStart + nTotalUs - nNow;
            if (nGot > 0 && nLastByte + nIntervalUs - nNow < nLeft)
                nLeft = nLastByte + nIntervalUs - nNow;
            // "More than t ms between two bytes": equality still waits.
            if (nLeft < 0)
                break;
            int64_t nWait = nLeft < kSliceUs ? nLeft + 1 : kSliceUs;
            // A raw tty reads 0 bytes when it is empty; only a read that
            // brings nothing right after poll said "readable" is a hung-up
            // device, which is slept out instead of spinning.
            if (bReadyReported && (r == 0 || errno == EIO)) {
                m_bLost = true;
                SleepUs(nWait);
                bReadyReported = false;
                continue;
            }
            bReadyReported = WaitReady(m_fd, POLLIN, nWait);
        }
        *pnRead = nGot;
        return true;
    }

    bool WriteBytes(const void* pBuffer, uint32_t nCount, uint32_t* pnWritten) override
    {
        // Writes have no time-out of their own, but a device that stopped
        // reading must not hang the program: allow twice the line time of
        // the bytes plus one second.
        const uint8_t* p = static_cast<const uint8_t*>(pBuffer);
        uint32_t nDone = 0;
        int64_t nLineUs = m_nBaud ? static_cast<int64_t>(nCount) * 10 * 1000000 / m_nBaud : 0;
        int64_t nDeadline = MonotonicUs() + 2 * nLineUs + 1000000;
        while (nDone < nCount) {
            ssize_t r = write(m_fd, p + nDone, nCount - nDone);
            if (r > 0) {
                nDone += static_cast<uint32_t>(r);
                continue;
            }
            if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                NoteLoss(errno);
                break;
            }
            int64_t nLeft = nDeadline - MonotonicUs();
            if (nLeft <= 0)
                break;
            WaitReady(m_fd, POLLOUT, nLeft < kSliceUs ? nLeft : kSliceUs);
        }
        *pnWritten = nDone;
        return nDone == nCount;
    }

    bool LineLost() const override { return m_bLost; }

private:
    // A pulled USB bridge, or a pty whose other side closed, answers EIO
    // (or names no device any more).
    void NoteLoss(int nErrno)
    {
        if (nErrno == EIO || nErrno == ENXIO || nErrno == ENODEV)
            m_bLost = true;
    }

    void RequestLowLatency()
    {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
        // USB bridges may hold received bytes for up to 16 ms; ask the
        // driver to hand them over at once. Drivers without the call (a
        // pty, most CDC-ACM) refuse, which is harmless.
        if (!m_bLowLatencySet)
            m_bLowLatencySet = SetLowLatency(true);
#endif
    }

    // True when the driver took a change of the flag (false when it had the
    // flag already, so that closing leaves it as found).
    bool SetLowLatency(bool bOn)
    {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
        serial_struct ss;
        if (ioctl(m_fd, TIOCGSERIAL, &ss) != 0 || ((ss.flags & ASYNC_LOW_LATENCY) != 0) == bOn)
            return false;
        ss.flags = bOn ? (ss.flags | ASYNC_LOW_LATENCY) : (ss.flags & ~ASYNC_LOW_LATENCY);
        return ioctl(m_fd, TIOCSSERIAL, &ss) == 0;
#else
        (void)bOn;
        return false;
#endif
    }

    int m_fd;
    termios m_saved;
    bool m_bLowLatencySet = false;
    bool m_bLost = false;
    uint32_t m_nBaud = 0;
    uint32_t m_nInterval = 0;
    uint32_t m_nMultiplier = 0;
    uint32_t m_nConstant = 0;
};

EOpenFailure ReasonOf(int nErrno)
{
    switch (nErrno) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return kOpenNoDevice;
    case EACCES:
    case EPERM:
        return kOpenDenied;
    case EBUSY:
    case EWOULDBLOCK:
        return kOpenBusy;
    default:
        return kOpenOther;
    }
}

bool HeldExclusively(int fd)
{
#ifdef TIOCGEXCL
    int nExclusive = 0;
    return ioctl(fd, TIOCGEXCL, &nExclusive) == 0 && nExclusive != 0;
#else
    (void)fd;
    return false;
#endif
}

// Opened with O_NOCTTY, the device is our controlling terminal only if it
// already was; the terminal then names our session.
bool IsOurControllingTerminal(int fd)
{
    pid_t nSession = tcgetsid(fd);
    return nSession != -1 && nSession == getsid(0);
}

class CPosixCommDriver : public ICommDriver
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
        std::string strPath = ResolvePortName(pszName ? pszName : "");
        if (strPath.empty()) {
            pError->eReason = kOpenNoDevice;
            pError->nOsCode = ENOENT;
            return nullptr;
        }
        int fd = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            pError->nOsCode = errno;
            pError->eReason = ReasonOf(errno);
            return nullptr;
        }
        // TIOCEXCL keeps other openers out, but not root; the lock does, for
        // every program that asks for it as we do. A root opener also gets
        // past another program's TIOCEXCL, so look for it: that program holds
        // the port even though it locks nothing.
        if (!isatty(fd)) {
            pError->eReason = kOpenOther;
            pError->nOsCode = ENOTTY;
            close(fd);
            return nullptr;
        }
        // Our own terminal is where the operator reads and answers; making
        // it raw at the line speed would take it from them.
        if (IsOurControllingTerminal(fd)) {
            pError->eReason = kOpenOwnTerminal;
            pError->nOsCode = 0;
            close(fd);
            return nullptr;
        }
        termios saved;
        if (tcgetattr(fd, &saved) != 0) {
            pError->nOsCode = errno;
            pError->eReason = kOpenOther;
            close(fd);
            return nullptr;
        }
        int nBusy = flock(fd, LOCK_EX | LOCK_NB) != 0 ? errno : (HeldExclusively(fd) ? EBUSY : 0);
        if (nBusy != 0) {
            pError->nOsCode = nBusy;
            pError->eReason = ReasonOf(nBusy);
            close(fd);
            return nullptr;
        }
        ioctl(fd, TIOCEXCL);
        return new CPosixCommHandle(fd, saved);
    }
};

} // namespace

ICommDriver& PlatformCommDriver()
{
    static CPosixCommDriver driver;
    return driver;
}

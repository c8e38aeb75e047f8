#include "PtyServer_posix.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

uint64_t NowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

} // namespace

CPtyServer::CPtyServer(CInstrumentModel& model) : m_model(model)
{
}

CPtyServer::~CPtyServer()
{
    if (m_fdSlave >= 0)
        close(m_fdSlave);
    if (m_fdMaster >= 0)
        close(m_fdMaster);
}

bool CPtyServer::Create(std::string* pstrError)
{
    m_fdMaster = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_fdMaster < 0 || grantpt(m_fdMaster) != 0 || unlockpt(m_fdMaster) != 0) {
        *pstrError = std::string("cannot create a pseudo terminal: ") + std::strerror(errno);
        return false;
    }
    const char* pszName = ptsname(m_fdMaster);
    if (!pszName) {
        *pstrError = "ptsname failed";
        return false;
    }
    m_strSlave = pszName;
    // Holding the slave open keeps the master readable while no host has the
    // port open; raw mode keeps the line from echoing what the unit sends.
    m_fdSlave = open(pszName, O_RDWR | O_NOCTTY);
    if (m_fdSlave < 0) {
        *pstrError = std::string("cannot open ") + pszName + ": " + std::strerror(errno);
        return false;
    }
    termios tio;
    if (tcgetattr(m_fdSlave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(m_fdSlave, TCSANOW, &tio);
    }
    fcntl(m_fdMaster, F_SETFL, fcntl(m_fdMaster, F_GETFL) | O_NONBLOCK);
    return true;
}

void CPtyServer::Run(volatile bool* pbStop)
{
    // Counted in nanoseconds: a byte at 921600 baud takes 10.85 us, and
    // whole microseconds would make a frame cross the line 8 % too fast.
    const uint64_t nByteNs = m_nBaud ? 10000000000ull / m_nBaud : 0;
    uint64_t nLineFreeNs = 0; // when the emulated line has carried the last byte
    bool bHostHeld = false;
    while (!*pbStop && !m_model.HungUp()) {
#ifdef TIOCGEXCL
        // The host holds the port exclusively while it has it open; the flag
        // going away is the host closing it.
        int nExcl = 0;
        if (ioctl(m_fdSlave, TIOCGEXCL, &nExcl) == 0) {
            if (bHostHeld && !nExcl)
                m_model.OnHostClosed();
            bHostHeld = nExcl != 0;
        }
#endif
        uint64_t nNow = NowUs();
        uint64_t nDue = 0;
        while (m_model.PeekOutput(&nDue) && nDue <= nNow) {
            uint8_t by = m_model.PopOutput();
            while (write(m_fdMaster, &by, 1) < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd w = {m_fdMaster, POLLOUT, 0};
                poll(&w, 1, 10);
            }
        }
        uint64_t nWaitUs = 50000;
        if (m_model.PeekOutput(&nDue)) {
            uint64_t nLeft = nDue > nNow ? nDue - nNow : 0;
            if (nLeft < nWaitUs)
                nWaitUs = nLeft;
        }
        // While the line still carries what was read, more bytes can wait:
        // a real receiver takes them at line rate anyway, and waking for
        // each piece the host writes costs many units at once dearly. The
        // read comes a little before the line is free, so that the line's
        // account runs on without a gap.
        const uint64_t kLeadUs = 1000;
        const uint64_t nLineFreeUs = nLineFreeNs / 1000;
        if (nLineFreeUs > nNow + kLeadUs) {
            uint64_t nBusyUs = nLineFreeUs - kLeadUs - nNow;
            if (nBusyUs < nWaitUs) {
                timespec ts = {0, static_cast<long>(nBusyUs) * 1000};
                while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
                }
                continue;
            }
        }
        // Sleeps to the microsecond: a millisecond poll would wake early and
        // spin out the rest, which many units at once cannot afford.
        timespec ts = {static_cast<time_t>(nWaitUs / 1000000), static_cast<long>(nWaitUs % 1000000) * 1000};
        pollfd pfd = {m_fdMaster, POLLIN, 0};
        int r = ppoll(&pfd, 1, &ts, nullptr);
        if (r > 0 && (pfd.revents & POLLIN)) {
            uint8_t buf[4096];
            ssize_t n = read(m_fdMaster, buf, sizeof buf);
            uint64_t nArrive = NowUs();
            for (ssize_t i = 0; i < n; ++i) {
                if (nByteNs) {
                    nLineFreeNs = std::max(nLineFreeNs, nArrive * 1000) + nByteNs;
                    m_model.Receive(buf[i], nLineFreeNs / 1000);
                } else {
                    m_model.Receive(buf[i], nArrive);
                }
            }
        } else if (r > 0) {
            // No host has the slave open and ours is closed: nothing to read.
            usleep(10000);
        }
    }
    if (m_model.HungUp()) {
        // Unplugged: the host's side of the line goes dead.
        close(m_fdSlave);
        close(m_fdMaster);
        m_fdSlave = m_fdMaster = -1;
    }
}

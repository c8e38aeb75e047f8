// The monotonic clock in microseconds, a sleep and a wait on one descriptor,
// shared by the POSIX serial port and the network port's sockets.
#pragma once

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <poll.h>

inline int64_t MonotonicUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Waits up to nUs (to the microsecond) for fd; returns the events that came,
// hang-ups and errors included, or 0 when none came in time.
inline short PollUs(int fd, short nEvents, int64_t nUs)
{
    if (nUs < 0)
        nUs = 0;
    pollfd pfd;
    pfd.fd = fd;
    pfd.events = nEvents;
    pfd.revents = 0;
    timespec ts;
    ts.tv_sec = static_cast<time_t>(nUs / 1000000);
    ts.tv_nsec = static_cast<long>(nUs % 1000000) * 1000;
    return ppoll(&pfd, 1, &ts, nullptr) > 0 ? pfd.revents : 0;
}

// Sleeps nUs whole, signals or not.
inline void SleepUs(int64_t nUs)
{
    if (nUs <= 0)
        return;
    timespec ts;
    ts.tv_sec = static_cast<time_t>(nUs / 1000000);
    ts.tv_nsec = static_cast<long>(nUs % 1000000) * 1000;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

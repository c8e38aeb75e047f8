// What the benchmarks share: child processes whose output is read line by
// line with the time each line came, and the floor of one update (the
// handshake's pauses and paced words, one frame per 10 ms tick).
#pragma once

#include "update/FirmwareImage.h"
#include "update/Resources.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

const double kTickMs = 10.0;
const double kBitsPerByte = 10.0; // 8N1
const double kBaud = 921600.0;
// Application branch: "#\r\n" and "BOOT 1\r\n" paced at 50 ms a byte, 1000
// and 2000 ms of pauses, 100 ms after the sign and 500 ms before the stream.
const double kHandshakePausesMs = 3 * 50 + 1000 + 8 * 50 + 2000 + 100 + 500;
const double kAfterSignMs = 100 + 500;

inline double NowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline pid_t Spawn(const std::vector<std::string>& args, int* pfdOut, bool bBothStreams)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        if (bBothStreams)
            dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        int fdNull = open("/dev/null", O_RDONLY);
        if (fdNull >= 0)
            dup2(fdNull, STDIN_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    *pfdOut = fds[0];
    return pid;
}

// Reads lines from fd until it closes; each line with the time it came.
struct SLine
{
    double dMs;
    std::string str;
};

inline bool ReadLine(int fd, std::string* pstrPending, SLine* pLine)
{
    for (;;) {
        size_t n = pstrPending->find('\n');
        if (n != std::string::npos) {
            pLine->str = pstrPending->substr(0, n);
            pLine->dMs = NowMs();
            pstrPending->erase(0, n + 1);
            return true;
        }
        char buf[512];
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        pstrPending->append(buf, static_cast<size_t>(r));
    }
}

inline const char* Verdict(bool bMet)
{
    return bMet ? "met" : "MISSED";
}

} // namespace bench

namespace bench {

// The packaged image's frame lengths; empty when the program carries none.
inline std::vector<int> PackagedFrames(size_t* pnBytes)
{
    const char* pText = nullptr;
    uint32_t nChars = 0;
    std::vector<int> frames;
    if (!ProgramResources().Find(kFirmwareResourceType, kFirmwareResourceId, &pText, &nChars))
        return frames;
    std::vector<uint8_t> image(nChars / 2);
    DecodeFirmwareText(pText, nChars, image.data(), static_cast<uint32_t>(image.size()), nullptr);
    for (int off = 0; off + 1 < static_cast<int>(image.size()); off += FrameLengthAt(image.data(), off))
        frames.push_back(FrameLengthAt(image.data(), off));
    *pnBytes = image.size();
    return frames;
}

// One frame per tick, or its line time when that is longer.
inline double StreamFloorMs(const std::vector<int>& frames)
{
    double d = 0;
    for (int n : frames)
        d += std::max(kTickMs, n * kBitsPerByte * 1000.0 / kBaud);
    return d;
}

inline double CpuMs(const rusage& ru)
{
    return ru.ru_utime.tv_sec * 1000.0 + ru.ru_utime.tv_usec / 1000.0 + ru.ru_stime.tv_sec * 1000.0
        + ru.ru_stime.tv_usec / 1000.0;
}

#ifdef ZT_SIM_EXE
// Units at 2.10, each a zt9047q-sim --line-rate on a pty of its own.
struct SLineRateSim
{
    pid_t pid = -1;
    int fd = -1; // its standard output and error
    std::string strPending;
    std::string strPty;
};

// Stops them all; returns how many received the packaged image byte for
// byte, and adds their CPU time to *pdCpuMs when given.
inline int StopSims(std::vector<SLineRateSim>& sims, double* pdCpuMs = nullptr)
{
    for (SLineRateSim& sim : sims)
        if (sim.pid > 0)
            kill(sim.pid, SIGTERM);
    int nByteForByte = 0;
    for (SLineRateSim& sim : sims) {
        if (sim.pid <= 0)
            continue;
        std::string strLast; // the simulator's report: what the unit received
        SLine line;
        while (ReadLine(sim.fd, &sim.strPending, &line))
            strLast = line.str;
        close(sim.fd);
        rusage ru;
        std::memset(&ru, 0, sizeof ru);
        wait4(sim.pid, nullptr, 0, &ru);
        if (pdCpuMs)
            *pdCpuMs += CpuMs(ru);
        if (strLast.find("the packaged image, byte for byte") != std::string::npos)
            ++nByteForByte;
    }
    sims.clear();
    return nByteForByte;
}

// Starts nUnits of them, each once it has named its pty; on a failure says
// so and stops those already started.
inline bool StartSims(int nUnits, std::vector<SLineRateSim>* pSims)
{
    pSims->assign(static_cast<size_t>(nUnits), SLineRateSim());
    for (SLineRateSim& sim : *pSims) {
        sim.pid = Spawn({ZT_SIM_EXE, "--firmware", "2.10", "--line-rate"}, &sim.fd, true);
        SLine line;
        char szPty[256] = {0};
        if (sim.pid < 0 || !ReadLine(sim.fd, &sim.strPending, &line)
            || std::sscanf(line.str.c_str(), "%255s", szPty) != 1) {
            std::fprintf(stderr, "a simulator did not start\n");
            StopSims(*pSims);
            return false;
        }
        sim.strPty = szPty;
    }
    return true;
}
#endif

} // namespace bench

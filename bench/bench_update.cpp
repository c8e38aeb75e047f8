// bench_update: one whole update of a unit at 2.10 by zt9047q-flash against
// zt9047q-sim --line-rate on a pseudo terminal, and what it cost: the time
// from Download to the completion message against the floor that the
// handshake's pauses, the paced words and one frame per 10 ms tick impose,
// the mean cost per frame beyond that floor, the CPU time as a share of the
// wall time, and the peak resident memory of zt9047q-flash.
#include "BenchSupport.h"

using namespace bench;

int main()
{
    // The image the program carries, frame by frame.
    const char* pText = nullptr;
    uint32_t nChars = 0;
    if (!ProgramResources().Find(kFirmwareResourceType, kFirmwareResourceId, &pText, &nChars)) {
        std::fprintf(stderr, "bench_update: no firmware image\n");
        return 1;
    }
    std::vector<uint8_t> image(nChars / 2);
    DecodeFirmwareText(pText, nChars, image.data(), static_cast<uint32_t>(image.size()), nullptr);
    std::vector<int> frames;
    for (int off = 0; off + 1 < static_cast<int>(image.size()); off += FrameLengthAt(image.data(), off))
        frames.push_back(FrameLengthAt(image.data(), off));
    double dStreamFloorMs = 0;
    for (int n : frames)
        dStreamFloorMs += std::max(kTickMs, n * kBitsPerByte * 1000.0 / kBaud);
    const double dFloorMs = kHandshakePausesMs + dStreamFloorMs;

    int fdSim = -1;
    pid_t pidSim = Spawn({ZT_SIM_EXE, "--firmware", "2.10", "--line-rate"}, &fdSim, true);
    std::string strSimPending;
    SLine simLine;
    if (pidSim < 0 || !ReadLine(fdSim, &strSimPending, &simLine)) {
        std::fprintf(stderr, "bench_update: the simulator did not start\n");
        return 1;
    }
    char szPty[256] = {0}, szCom[32] = {0};
    if (std::sscanf(simLine.str.c_str(), "%255s %31s", szPty, szCom) != 2) {
        std::fprintf(stderr, "bench_update: unexpected simulator line '%s'\n", simLine.str.c_str());
        kill(pidSim, SIGTERM);
        return 1;
    }

    int fdFlash = -1;
    const double dSpawnMs = NowMs();
    pid_t pidFlash = Spawn({ZT_FLASH_EXE, "--port", szCom}, &fdFlash, true);
    double dDownloadMs = -1, dStreamingMs = -1, dCompleteMs = -1;
    std::string strPending;
    SLine line;
    while (ReadLine(fdFlash, &strPending, &line)) {
        if (dDownloadMs < 0 && line.str.compare(0, 5, "Port:") == 0)
            dDownloadMs = line.dMs; // printed just before Download is pressed
        else if (dStreamingMs < 0 && line.str == "Downloading new firmware...")
            dStreamingMs = line.dMs;
        else if (line.str == "ZT9047Q firmware updated to version 2.20")
            dCompleteMs = line.dMs;
    }
    int nStatus = 0;
    rusage ru;
    std::memset(&ru, 0, sizeof ru);
    wait4(pidFlash, &nStatus, 0, &ru);
    const double dExitMs = NowMs();
    kill(pidSim, SIGTERM);
    std::string strSimSummary; // its last line: what the unit received
    while (ReadLine(fdSim, &strSimPending, &simLine))
        strSimSummary = simLine.str;
    waitpid(pidSim, nullptr, 0);

    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0 || dDownloadMs < 0 || dStreamingMs < 0 || dCompleteMs < 0) {
        std::fprintf(stderr, "bench_update: the update did not complete (exit status %d)\n",
                     WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1);
        return 1;
    }

    const double dTotalMs = dCompleteMs - dDownloadMs;
    const double dStreamMs = dCompleteMs - (dStreamingMs + kAfterSignMs);
    const double dPerFrameExtraMs = (dStreamMs - dStreamFloorMs) / static_cast<double>(frames.size());
    const double dCpuMs = ru.ru_utime.tv_sec * 1000.0 + ru.ru_utime.tv_usec / 1000.0 + ru.ru_stime.tv_sec * 1000.0
                          + ru.ru_stime.tv_usec / 1000.0;
    const double dWallMs = dExitMs - dSpawnMs;
    const double dCpuShare = 100.0 * dCpuMs / dWallMs;
    const double dRssMb = ru.ru_maxrss / 1024.0; // kilobytes on Linux
    const double dRatio = dTotalMs / dFloorMs;

    std::printf("Whole update of a unit at 2.10 on %s (%s), line rate 921600 baud 8N1\n", szPty, szCom);
    std::printf("  image                      %zu bytes in %zu frames\n", image.size(), frames.size());
    std::printf("  Download to Complete       %8.1f ms\n", dTotalMs);
    std::printf("    handshake                %8.1f ms (its pauses and paced words: %.0f ms)\n",
                dStreamingMs + kAfterSignMs - dDownloadMs, kHandshakePausesMs);
    std::printf("    stream                   %8.1f ms (floor %.1f ms: one frame per %.0f ms tick, or its line time)\n",
                dStreamMs, dStreamFloorMs, kTickMs);
    std::printf("  floor                      %8.1f ms\n", dFloorMs);
    std::printf("  ratio to the floor         %8.4f   (target <= 1.03: %s)\n", dRatio, Verdict(dRatio <= 1.03));
    std::printf("  per-frame cost beyond it   %8.3f ms (target <= 1 ms: %s)\n", dPerFrameExtraMs,
                Verdict(dPerFrameExtraMs <= 1.0));
    std::printf("  CPU time of zt9047q-flash  %8.1f ms of %.1f ms wall = %.2f %% (target <= 2 %%: %s)\n", dCpuMs,
                dWallMs, dCpuShare, Verdict(dCpuShare <= 2.0));
    std::printf("  peak RSS of zt9047q-flash  %8.2f MB (target <= 8 MB: %s)\n", dRssMb, Verdict(dRssMb <= 8.0));
    std::printf("  %s\n", strSimSummary.c_str());
    return 0;
}

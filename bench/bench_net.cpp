// bench_net: what a serial server in between costs. One unit and 8 units at
// 2.10 updated at once by one zt9047q-flash, first through local pseudo
// terminals (a zt9047q-sim --line-rate each, started here), then through
// rfc2217:// URLs of units behind ser2net on loopback (started by
// scripts/bench-net.sh, which passes their URLs). For each count: the batch
// time of each (first Download to last completion, the best of 3 rounds in
// which the two take turns) and their ratio.
//   bench_net [--rounds N] --one URL --eight URL URL URL URL URL URL URL URL
#include "BenchSupport.h"

using namespace bench;

namespace {

const double kRatioTarget = 1.03;

struct SBatch
{
    int nCompleted = 0;
    int nByteForByte = 0;
    double dBatchMs = -1;
    bool bOk = false;
};

// Runs zt9047q-flash with one --port per name and times its batch from the
// lines it prints.
SBatch RunFlash(const std::vector<std::string>& ports)
{
    SBatch batch;
    std::vector<std::string> args = {ZT_FLASH_EXE};
    for (const std::string& p : ports) {
        args.push_back("--port");
        args.push_back(p);
    }
    int fd = -1;
    pid_t pid = Spawn(args, &fd, true);
    double dFirstMs = -1, dLastMs = -1;
    std::string strPending;
    SLine line;
    while (ReadLine(fd, &strPending, &line)) {
        // Several units: each line starts with the unit's port.
        std::string strText = line.str;
        for (const std::string& p : ports)
            if (strText.compare(0, p.size() + 2, p + ": ") == 0)
                strText = strText.substr(p.size() + 2);
        if (dFirstMs < 0 && strText.compare(0, 5, "Port:") == 0)
            dFirstMs = line.dMs;
        else if (strText == "ZT9047Q firmware updated to version 2.20") {
            dLastMs = line.dMs;
            ++batch.nCompleted;
        }
    }
    close(fd);
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    batch.dBatchMs = dLastMs - dFirstMs;
    batch.bOk = WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 && dFirstMs >= 0 && dLastMs >= 0;
    return batch;
}

// N local units on pseudo terminals of their own.
SBatch RunLocal(int nUnits)
{
    std::vector<SLineRateSim> sims;
    if (!StartSims(nUnits, &sims))
        return SBatch();
    std::vector<std::string> ports;
    for (const SLineRateSim& sim : sims)
        ports.push_back(sim.strPty);
    SBatch batch = RunFlash(ports);
    batch.nByteForByte += StopSims(sims);
    return batch;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> one, eight;
    std::vector<std::string>* pInto = nullptr;
    int nRounds = 3;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--one")
            pInto = &one;
        else if (a == "--eight")
            pInto = &eight;
        else if (a == "--rounds" && i + 1 < argc)
            nRounds = std::atoi(argv[++i]);
        else if (pInto)
            pInto->push_back(a);
    }
    if (one.size() != 1 || eight.size() != 8 || nRounds < 1) {
        std::fprintf(stderr, "usage: bench_net [--rounds N] --one URL --eight URL x 8 (scripts/bench-net.sh starts the"
                             " server)\n");
        return 2;
    }
    std::printf("Units at 2.10 updated at once by zt9047q-flash, each a zt9047q-sim --line-rate:\n"
                "on local pseudo terminals, and behind ser2net on loopback through rfc2217://;\n"
                "%d rounds, taking turns, the best of each kind.\n\n", nRounds);
    std::printf("%5s %14s %14s %7s %8s %9s\n", "units", "local batch ms", "rfc2217 ms", "ratio", "target",
                "completed");
    bool bAllMet = true;
    for (const std::vector<std::string>* pUrls : {&one, &eight}) {
        const int n = static_cast<int>(pUrls->size());
        // The two kinds take turns, and each keeps its best round: what
        // else runs on the machine only ever adds time.
        SBatch local, net;
        bool bOk = true;
        for (int nRound = 0; nRound < nRounds; ++nRound) {
            SBatch l = RunLocal(n);
            SBatch r = RunFlash(*pUrls);
            bOk = bOk && l.bOk && r.bOk && l.nByteForByte == n && l.nCompleted == n && r.nCompleted == n;
            if (nRound == 0 || l.dBatchMs < local.dBatchMs)
                local = l;
            if (nRound == 0 || r.dBatchMs < net.dBatchMs)
                net = r;
        }
        double dRatio = net.dBatchMs / local.dBatchMs;
        bool bMet = bOk && dRatio <= kRatioTarget;
        bAllMet = bAllMet && bMet;
        std::printf("%5d %14.1f %14.1f %7.4f %8s %5s %s\n", n, local.dBatchMs, net.dBatchMs, dRatio, "<= 1.03",
                    bOk ? "all" : "not all", bOk ? Verdict(bMet) : "FAILED");
    }
    std::printf("\nbatch: first Download to last completion; ratio: rfc2217 batch / local batch.\n");
    return bAllMet ? 0 : 1;
}

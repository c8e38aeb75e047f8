// zt9047q-flash --record in real time: stations of simulated units on ptys
// (repeated --port) writing SQLite files, and through their spools a real
// PostgreSQL server that scripts/test-records.sh starts (ZT_PG_URL, ZT_PG_CTL).
#include "RecordsExport.h"
#include "Forwarding.h"
#include "JsonText.h"
#include "RecordsRig.h"
#include "ServerRig.h"
#include "SqliteStore.h"
#include "support/Process.h"

#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// Simulated units at 2.10, each logging what it receives.
struct SUnits
{
    SUnits(int n, const CTempDir& dir)
    {
        for (int i = 0; i < n; ++i) {
            sims.emplace_back(new CSimProcess);
            logs.push_back(dir / ("sim" + std::to_string(i) + ".log"));
            EXPECT_TRUE(sims.back()->Start(ZT_SIM_EXE, {"--firmware", "2.10", "--log", logs.back()}));
        }
    }
    std::vector<std::string> FlashArgs(const std::vector<std::string>& extra) const
    {
        std::vector<std::string> argv = {ZT_FLASH_EXE};
        // By path: a COM name exists only for the first ptys, and a busy
        // machine may have handed those out.
        for (const auto& pSim : sims)
            argv.insert(argv.end(), {"--port", pSim->m_strPath});
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }
    std::set<std::string> Ports() const
    {
        std::set<std::string> ports;
        for (const auto& pSim : sims)
            ports.insert(pSim->m_strPath);
        return ports;
    }
    std::vector<std::unique_ptr<CSimProcess>> sims;
    std::vector<std::string> logs;
};

off_t FileSize(const std::string& strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 ? st.st_size : -1;
}

// The records of a store that started since strSince at these ports.
std::vector<SRunRecord> RecordsOf(const std::string& strTarget, const std::string& strSince,
                                  const std::set<std::string>& ports)
{
    SRecordFilter filter;
    filter.strSince = strSince;
    std::vector<SRunRecord> all, mine;
    std::string strErr;
    if (IsServerTarget(strTarget)) {
        for (const auto& row : ServerRows(strTarget))
            if (row.second.strStartedAt >= strSince)
                all.push_back(row.second);
    } else {
        EXPECT_TRUE(QueryRecords(strTarget, filter, &all, &strErr)) << strErr;
    }
    for (const SRunRecord& rec : all)
        if (ports.count(rec.strPort))
            mine.push_back(rec);
    return mine;
}

} // namespace

TEST(StationRecords, StoreThatCannotBeWrittenRefusesBeforeAnyUnitIsTouched)
{
    for (const char* pszFault : {"read-only", "full"}) {
        SCOPED_TRACE(pszFault);
        CTempDir dir;
        SUnits units(2, dir);
        const std::string strDb = dir / "records.db";
        std::function<void()> inChild;
        if (std::string(pszFault) == "read-only") {
            // A store that holds records, which this user may only read.
            {
                CSqliteStore store;
                std::string strErr;
                ASSERT_TRUE(store.OpenForWriting(strDb, 1000, &strErr)) << strErr;
            }
            chmod(strDb.c_str(), 0444);
            chmod(dir.Path().c_str(), 0555);
            const bool bRoot = geteuid() == 0;
            for (const auto& pSim : units.sims)
                chmod(pSim->m_strPath.c_str(), 0666);
            inChild = [bRoot] {
                if (bRoot && (setgid(65534) != 0 || setuid(65534) != 0)) // root writes anything
                    _exit(126);
            };
        } else {
            inChild = [] {
                signal(SIGXFSZ, SIG_IGN);
                rlimit limit = {0, 0};
                setrlimit(RLIMIT_FSIZE, &limit);
            };
        }
        SProcessResult r = RunProcess(units.FlashArgs({"--record", strDb}), inChild);
        chmod(dir.Path().c_str(), 0755);
        EXPECT_EQ(r.nExit, 1) << r.strErr;
        EXPECT_NE(r.strErr.find("records cannot be kept: "), std::string::npos) << r.strErr;
        EXPECT_NE(r.strErr.find("Nothing was updated."), std::string::npos) << r.strErr;
        for (size_t i = 0; i < units.sims.size(); ++i) {
            units.sims[i]->Stop();
            EXPECT_EQ(FileSize(units.logs[i]), 0) << "unit " << i << " was sent something";
        }
    }
}

TEST(StationRecords, TwoStationsWriteOneFileAtOnce)
{
    CTempDir dir;
    const std::string strDb = dir / "records.db", strSince = UtcNowIso8601Ms();
    SUnits first(2, dir), second(2, dir);
    int fdOut[2], fdErr[2];
    pid_t pids[2] = {Spawn(first.FlashArgs({"--record", strDb}), &fdOut[0], &fdErr[0]),
                     Spawn(second.FlashArgs({"--record", strDb}), &fdOut[1], &fdErr[1])};
    for (int i = 0; i < 2; ++i) {
        std::string strErr;
        ReadUntil(fdErr[i], &strErr, "", 60000);
        close(fdOut[i]);
        close(fdErr[i]);
        int nStatus = 0;
        waitpid(pids[i], &nStatus, 0);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << strErr;
        EXPECT_NE(strErr.find("Records: 2 runs saved."), std::string::npos) << strErr;
    }
    std::set<std::string> ports = first.Ports();
    for (const std::string& strPort : second.Ports())
        ports.insert(strPort);
    std::vector<SRunRecord> recs = RecordsOf(strDb, strSince, ports);
    ASSERT_EQ(recs.size(), 4u);
    for (const SRunRecord& rec : recs) {
        EXPECT_EQ(rec.strResult, "completed") << rec.strPort;
        EXPECT_EQ(rec.nFrames, 196);
        EXPECT_EQ(rec.strUnitVersion.value_or(""), "2.10");
        EXPECT_EQ(rec.strImageSha256.size(), 64u);
    }
}

namespace {

class RecordsServerStation : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char* pszUrl = std::getenv("ZT_PG_URL");
        const char* pszCtl = std::getenv("ZT_PG_CTL");
        if (!pszUrl || !pszCtl)
            GTEST_SKIP() << "no server: run scripts/test-records.sh";
        m_strUrl = pszUrl;
        m_strCtl = pszCtl;
        m_strSince = UtcNowIso8601Ms();
    }
    void TearDown() override
    {
        if (m_bStopped)
            Server("start");
    }

    void Server(const char* pszAction)
    {
        const bool bStop = std::string(pszAction) == "stop";
        const std::string strCmd = m_strCtl + (bStop ? " stop -m fast -w" : " start -w") + " >/dev/null";
        ASSERT_EQ(std::system(strCmd.c_str()), 0) << strCmd;
        m_bStopped = bStop;
    }

    std::string m_strUrl, m_strCtl, m_strSince;
    bool m_bStopped = false;
    CTempDir m_dir;
};

} // namespace

TEST_F(RecordsServerStation, ServerStoppedMidRunGetsEveryRecordOnce)
{
    SUnits units(8, m_dir);
    int fdOut, fdErr;
    pid_t pid = Spawn(units.FlashArgs({"--record", m_strUrl, "--spool", m_dir / "spool.db"}), &fdOut, &fdErr);
    std::string strErr;
    ASSERT_TRUE(ReadUntil(fdErr, &strErr, "Progress: 30%", 30000)) << strErr;
    Server("stop");
    ReadUntil(fdErr, &strErr, "Progress: 70%", 30000);
    Server("start");
    ReadUntil(fdErr, &strErr, "", 60000);
    close(fdOut);
    close(fdErr);
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << strErr;
    EXPECT_NE(strErr.find("Records: 8 runs saved, all on the server."), std::string::npos) << strErr;
    std::vector<SRunRecord> recs = RecordsOf(m_strUrl, m_strSince, units.Ports());
    std::set<std::string> ids, ports;
    for (const SRunRecord& rec : recs) {
        ids.insert(rec.strId);
        ports.insert(rec.strPort);
        EXPECT_EQ(rec.strResult, "completed") << rec.strPort;
    }
    EXPECT_EQ(recs.size(), 8u);
    EXPECT_EQ(ids.size(), 8u);
    EXPECT_EQ(ports, units.Ports());
}

TEST_F(RecordsServerStation, KilledStationsStartedRowsAreForwardedByTheNextRun)
{
    const std::string strSpool = m_dir / "spool.db";
    // Kept until the end, so that the next run's unit gets a pty of its own.
    SUnits units(2, m_dir);
    const std::set<std::string> killedPorts = units.Ports();
    {
        Server("stop"); // the rows stay in the spool
        int fdOut, fdErr;
        pid_t pid = Spawn(units.FlashArgs({"--record", m_strUrl, "--spool", strSpool}), &fdOut, &fdErr);
        std::string strErr;
        const bool bStreaming = ReadUntil(fdErr, &strErr, "Progress: 20%", 30000);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        close(fdOut);
        close(fdErr);
        ASSERT_TRUE(bStreaming) << strErr;
    }
    std::vector<SRunRecord> spooled = RecordsOf(strSpool, m_strSince, killedPorts);
    ASSERT_EQ(spooled.size(), 2u);
    for (const SRunRecord& rec : spooled)
        EXPECT_EQ(rec.strResult, "running");
    Server("start");

    SUnits next(1, m_dir);
    SProcessResult r = RunProcess(next.FlashArgs({"--record", m_strUrl, "--spool", strSpool}));
    EXPECT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_NE(r.strErr.find("all on the server"), std::string::npos) << r.strErr;
    std::vector<SRunRecord> onServer = RecordsOf(m_strUrl, m_strSince, killedPorts);
    ASSERT_EQ(onServer.size(), 2u);
    for (const SRunRecord& rec : onServer) {
        EXPECT_EQ(rec.strResult, "running");
        EXPECT_EQ(rec.strId == spooled[0].strId || rec.strId == spooled[1].strId, true);
    }
    EXPECT_EQ(RecordsOf(m_strUrl, m_strSince, next.Ports()).size(), 1u);
}

namespace {

// The server's schema, made before another session locks its tables.
void EnsureServerSchema(const std::string& strUrl)
{
    CPgStore server;
    std::string strErr;
    ASSERT_EQ(server.Connect(strUrl, &strErr), CPgStore::kConnected) << strErr;
    ASSERT_TRUE(server.EnsureSchema(&strErr)) << strErr;
}

size_t Occurrences(const std::string& s, const std::string& strWhat)
{
    size_t n = 0;
    for (size_t p = s.find(strWhat); p != std::string::npos; p = s.find(strWhat, p + 1))
        ++n;
    return n;
}

const char* const kCompleted = "Result: completed";

long long MsSince(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

// Another session holds a table the tool uses, from before the start: the
// units are updated all the same, the tool ends within the records' 3 s of
// the last unit, and the rows follow once the lock goes.
TEST_F(RecordsServerStation, TableLockedAtStartHoldsNoUnitAndTheRowsFollowLater)
{
    EnsureServerSchema(m_strUrl);
    for (const char* pszTable : {"records_meta", "runs"}) {
        SCOPED_TRACE(pszTable);
        const std::string strSince = UtcNowIso8601Ms(); // the ports' names come again in the next round
        const std::string strSpool = m_dir / (std::string(pszTable) + ".db");
        SUnits units(2, m_dir);
        CTableLock lock(m_strUrl, pszTable);
        int fdOut, fdErr;
        const pid_t pid = Spawn(units.FlashArgs({"--record", m_strUrl, "--spool", strSpool}), &fdOut, &fdErr);
        std::string strErr;
        EXPECT_TRUE(ReadUntil(fdErr, &strErr, "Summary:", 60000)) << strErr;
        const auto lastUnit = std::chrono::steady_clock::now();
        ReadUntil(fdErr, &strErr, "", 20000);
        const long long nCloseMs = MsSince(lastUnit);
        close(fdOut);
        close(fdErr);
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << strErr;
        EXPECT_EQ(Occurrences(strErr, kCompleted), 2u) << strErr;
        EXPECT_LT(nCloseMs, 3800) << strErr;
        EXPECT_NE(strErr.find("still to be sent to the server"), std::string::npos) << strErr;
        if (std::string(pszTable) == "records_meta")
            EXPECT_NE(strErr.find("records are kept in the spool"), std::string::npos) << strErr;

        lock.Release();
        SProcessResult r = RunProcess({ZT_FORWARD_EXE, "--once", "--spool", strSpool, "--target", m_strUrl});
        EXPECT_EQ(r.nExit, 0) << r.strErr;
        std::vector<SRunRecord> recs = RecordsOf(m_strUrl, strSince, units.Ports());
        ASSERT_EQ(recs.size(), 2u);
        for (const SRunRecord& rec : recs)
            EXPECT_EQ(rec.strResult, "completed");
    }
}

// The lock taken in the middle of the batch: the unit completes, and a
// stop signal ends the tool within a second though the forwarder is held.
TEST_F(RecordsServerStation, StopSignalEndsTheToolAtOnceWhileALockHoldsTheRows)
{
    EnsureServerSchema(m_strUrl);
    for (int nSignal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(nSignal == SIGINT ? "SIGINT" : "SIGTERM");
        const std::string strSince = UtcNowIso8601Ms(); // the port's name comes again in the next round
        const std::string strSpool = m_dir / ("spool" + std::to_string(nSignal) + ".db");
        SUnits units(1, m_dir);
        int fdOut, fdErr;
        const pid_t pid = Spawn(units.FlashArgs({"--record", m_strUrl, "--spool", strSpool}), &fdOut, &fdErr);
        std::string strErr;
        ASSERT_TRUE(ReadUntil(fdErr, &strErr, "Progress: 30%", 30000)) << strErr;
        CTableLock lock(m_strUrl, "runs");
        EXPECT_TRUE(ReadUntil(fdErr, &strErr, kCompleted, 30000)) << strErr;
        kill(pid, nSignal);
        const auto signalled = std::chrono::steady_clock::now();
        ReadUntil(fdErr, &strErr, "", 10000);
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
        const long long nStopMs = MsSince(signalled);
        close(fdOut);
        close(fdErr);
        EXPECT_LT(nStopMs, 1000) << strErr;
        EXPECT_NE(strErr.find("1 still to be sent to the server"), std::string::npos) << strErr;

        lock.Release();
        SProcessResult r = RunProcess({ZT_FORWARD_EXE, "--once", "--spool", strSpool, "--target", m_strUrl});
        EXPECT_EQ(r.nExit, 0) << r.strErr;
        std::vector<SRunRecord> recs = RecordsOf(m_strUrl, strSince, units.Ports());
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(recs[0].strResult, "completed");
    }
}

// A port named in UTF-8 reads the same in the end event, the spool, the
// server and both CSV exports; an export that cannot be written fails.
TEST_F(RecordsServerStation, Utf8PortNameRoundTripsFromEndEventToEveryStore)
{
    SUnits units(1, m_dir);
    const std::string strPort = m_dir / "Pr\xC3\xBC" "fplatz-1";
    ASSERT_EQ(symlink(units.sims[0]->m_strPath.c_str(), strPort.c_str()), 0);
    const std::string strSpool = m_dir / "spool.db";
    SProcessResult r = RunProcess({ZT_FLASH_EXE, "--port", strPort, "--json", "--record", m_strUrl, "--spool", strSpool});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    const std::string strEscaped = JsonString(strPort);
    EXPECT_NE(strEscaped.find("Pr\\u00fcfplatz"), std::string::npos);
    EXPECT_NE(r.strOut.find("{\"event\":\"end\",\"port\":" + strEscaped), std::string::npos) << r.strOut;

    const std::vector<SRunRecord> spooled = RecordsOf(strSpool, m_strSince, {strPort});
    const std::vector<SRunRecord> onServer = RecordsOf(m_strUrl, m_strSince, {strPort});
    ASSERT_EQ(spooled.size(), 1u);
    ASSERT_EQ(onServer.size(), 1u);
    EXPECT_EQ(spooled[0].strPort, strPort);
    EXPECT_EQ(onServer[0].strPort, strPort);
    EXPECT_NE(RecordJsonLine(onServer[0]).find(",\"port\":" + strEscaped + ","), std::string::npos);
    for (const std::string& strTarget : {strSpool, m_strUrl}) {
        SProcessResult csv = RunProcess({ZT_FLASH_EXE, "--records", strTarget, "--since", m_strSince});
        EXPECT_EQ(csv.nExit, 0) << csv.strErr;
        EXPECT_NE(csv.strOut.find("," + strPort + ","), std::string::npos) << strTarget << "\n" << csv.strOut;
        SProcessResult full = RunProcess({ZT_FLASH_EXE, "--records", strTarget}, [] {
            const int fd = open("/dev/full", O_WRONLY);
            dup2(fd, 1);
        });
        EXPECT_EQ(full.nExit, 1) << strTarget;
        EXPECT_NE(full.strErr.find("zt9047q-flash: cannot write the records"), std::string::npos) << full.strErr;
        SProcessResult day = RunProcess({ZT_FLASH_EXE, "--records", strTarget, "--until", "2026-02-30"});
        EXPECT_EQ(day.nExit, 2) << strTarget;
    }
}

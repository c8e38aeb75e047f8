// The records on a real PostgreSQL server through each station's spool and
// zt9047q-forward. scripts/test-records.sh starts the server and names it:
// ZT_PG_URL (a database the tests may fill) and ZT_PG_CTL (pg_ctl with its
// data folder, to stop and start the server in the middle of a test).
#include "Forwarding.h"
#include "ServerRig.h"
#include "support/Process.h"

#include <csignal>
#include <fstream>

namespace {

class RecordsServer : public ::testing::Test
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
    }
    void TearDown() override
    {
        if (m_bStopped)
            Server("start");
    }

    SRecorderOptions Options() const
    {
        SRecorderOptions o;
        o.strTarget = m_strUrl;
        o.strSpool = Spool();
        o.strForwarder = ZT_FORWARD_EXE;
        o.nMaxRetryMs = 200;
        o.nShutdownWaitMs = 3000;
        return o;
    }
    std::string Spool() const { return m_dir / "state/spool.db"; }

    void Server(const char* pszAction)
    {
        const bool bStop = std::string(pszAction) == "stop";
        const std::string strCmd = m_strCtl + (bStop ? " stop -m fast -w" : " start -w") + " >/dev/null";
        ASSERT_EQ(std::system(strCmd.c_str()), 0) << strCmd;
        m_bStopped = bStop;
    }

    // zt9047q-forward --once for this spool and a target.
    SProcessResult ForwardOnce(const std::string& strTarget)
    {
        return RunProcess({ZT_FORWARD_EXE, "--once", "--spool", Spool(), "--target", strTarget});
    }

    std::string m_strUrl, m_strCtl;
    bool m_bStopped = false;
    CTempDir m_dir;
};

} // namespace

TEST_F(RecordsServer, ServerStoppedMidStreamGetsEveryRecordOnceAfterwards)
{
    CRunRecorder recorder;
    std::string strErr, strWarning;
    ASSERT_TRUE(recorder.Open(Options(), &strErr, &strWarning)) << strErr;
    EXPECT_EQ(strWarning, "");
    const std::string strTarget = TargetWithoutPassword(m_strUrl);
    std::vector<SRunRecord> sent;
    for (int i = 0; i < 60; ++i) {
        if (i == 20)
            Server("stop");
        if (i == 40)
            Server("start");
        SRunRecord rec = StartedRecord("COM" + std::to_string(33 + i % 8));
        recorder.RunStarted(rec);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        sent.push_back(EndedRecord(rec, i % 7 ? "completed" : "silence"));
        sent.back().strText = "unit \xB0"; // the unit's 8-bit text
        sent.back().strReason = i % 7 ? "completed" : "silence";
        sent.back().strHint = "Unplug the unit.";
        recorder.RunEnded(sent.back());
        if (i == 30) {
            EXPECT_GT(SpoolPending(Spool(), strTarget), 0);
        }
    }
    ASSERT_TRUE(WaitFor([&] { return SpoolPending(Spool(), strTarget) == 0; }));
    EXPECT_TRUE(recorder.Close().empty());
    EXPECT_EQ(recorder.Counts().nSaved, 60);
    EXPECT_EQ(recorder.Counts().pending.Total(), 0);

    std::map<std::string, SRunRecord> byId = ServerRows(m_strUrl);
    for (const SRunRecord& rec : sent) {
        ASSERT_EQ(byId.count(rec.strId), 1u);
        const SRunRecord& got = byId[rec.strId];
        EXPECT_EQ(got.strResult, rec.strResult);
        EXPECT_EQ(got.strText, "unit \xC2\xB0");
        EXPECT_EQ(got.strUnitVersion, std::optional<std::string>("2.10"));
        EXPECT_EQ(got.nElapsedMs, std::optional<int64_t>(6144));
        EXPECT_EQ(got.strReason, rec.strReason);
        EXPECT_EQ(got.strHint, rec.strHint);
    }
}

// Killed with the server away: the spool keeps the started rows, and the
// next start sends them.
TEST_F(RecordsServer, KilledStationsRowsAreForwardedByTheNextStart)
{
    Server("stop");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::vector<std::string> ids;
    for (int i = 0; i < 5; ++i)
        ids.push_back(NewRecordId());
    const pid_t pid = fork();
    if (pid == 0) {
        CRunRecorder recorder;
        std::string strErr, strWarning;
        if (!recorder.Open(Options(), &strErr, &strWarning) || strWarning.empty())
            _exit(3);
        for (const std::string& strId : ids) {
            SRunRecord rec = StartedRecord("COM33");
            rec.strId = strId;
            recorder.RunStarted(rec);
        }
        WaitFor([&] { return recorder.Counts().nSaved == 5; });
        (void)!write(fds[1], "k", 1);
        pause();
        _exit(0);
    }
    char c = 0;
    const bool bReady = read(fds[0], &c, 1) == 1;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    Server("start");
    ASSERT_TRUE(bReady);

    CRunRecorder next;
    std::string strErr, strWarning;
    ASSERT_TRUE(next.Open(Options(), &strErr, &strWarning)) << strErr;
    ASSERT_TRUE(WaitFor([&] { return SpoolPending(Spool(), TargetWithoutPassword(m_strUrl)) == 0; }));
    next.Close();
    std::map<std::string, SRunRecord> byId = ServerRows(m_strUrl);
    for (const std::string& strId : ids) {
        ASSERT_EQ(byId.count(strId), 1u);
        EXPECT_EQ(byId[strId].strResult, "running");
    }
}

TEST_F(RecordsServer, RefusingServerIsRefusedAndAnAbsentOneLeftToTheSpool)
{
    CRunRecorder refused;
    SRecorderOptions o = Options();
    const size_t nSlash = m_strUrl.find('/', std::string("postgresql://").size());
    const size_t nQuery = m_strUrl.find('?');
    o.strTarget = m_strUrl.substr(0, nSlash + 1) + "no_such_database" + m_strUrl.substr(nQuery);
    std::string strErr, strWarning;
    EXPECT_FALSE(refused.Open(o, &strErr, &strWarning));
    EXPECT_NE(strErr.find("no_such_database"), std::string::npos) << strErr;

    // Nobody listens on this socket folder: kept in the spool, with a word.
    CRunRecorder absent;
    o.strTarget = m_strUrl.substr(0, nQuery) + "?host=" + m_dir.Path();
    o.nShutdownWaitMs = 200;
    strErr.clear();
    ASSERT_TRUE(absent.Open(o, &strErr, &strWarning)) << strErr;
    EXPECT_NE(strWarning.find("spool"), std::string::npos);
    absent.RunStarted(StartedRecord("COM33"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(absent.Close().empty());
    // The close keeps to its wait, whatever the forwarder is doing.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(absent.Counts().nSaved, 1);
    EXPECT_EQ(absent.Counts().pending.nMine, 1);
}

// A run for one server while another's rows wait in the spool: each server
// gets its own rows only, and the run says what else waits.
TEST_F(RecordsServer, SpoolOfTwoTargetsSendsEachItsOwnRows)
{
    // "prod" and "trial": two names of the one test database, as two
    // targets' texts.
    const std::string strProd = m_strUrl + "&application_name=prod";
    const std::string strTrial = m_strUrl + "&application_name=trial";
    SRunRecord forProd = EndedRecord(StartedRecord("COM40"), "completed");
    {
        CSqliteStore spool;
        std::string strErr;
        ASSERT_EQ(std::system(("mkdir -p " + m_dir / "state").c_str()), 0);
        ASSERT_TRUE(spool.OpenForWriting(Spool(), 1000, &strErr)) << strErr;
        const SSpoolTag tag{TargetWithoutPassword(strProd), "earlier-run"};
        ASSERT_TRUE(spool.Put(forProd, &tag, &strErr)) << strErr;
    }
    CRunRecorder trial;
    SRecorderOptions o = Options();
    o.strTarget = strTrial;
    std::string strErr, strWarning;
    ASSERT_TRUE(trial.Open(o, &strErr, &strWarning)) << strErr;
    EXPECT_NE(strWarning.find("also holds 1 row for " + TargetWithoutPassword(strProd)), std::string::npos)
        << strWarning;
    SRunRecord forTrial = EndedRecord(StartedRecord("COM41"), "completed");
    trial.RunEnded(forTrial);
    EXPECT_TRUE(trial.Close().empty());
    const SRecorderCounts counts = trial.Counts();
    EXPECT_EQ(counts.pending.Total(), 0);
    EXPECT_EQ(counts.pending.OtherTargetsTotal(), 1);
    std::map<std::string, SRunRecord> byId = ServerRows(m_strUrl);
    EXPECT_EQ(byId.count(forTrial.strId), 1u);
    EXPECT_EQ(byId.count(forProd.strId), 0u) << "trial's run sent prod's row";

    SProcessResult r = ForwardOnce(strProd);
    EXPECT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_NE(r.strOut.find("1 row sent"), std::string::npos) << r.strOut;
    EXPECT_EQ(ServerRows(m_strUrl).count(forProd.strId), 1u);
}

// The forwarder killed in the middle of forwarding, over and over: once a
// forward ends normally, every row is on the server, once.
TEST_F(RecordsServer, ForwarderKilledMidForwardLosesAndDoublesNothing)
{
    ASSERT_EQ(std::system(("mkdir -p " + m_dir / "state").c_str()), 0);
    const std::string strTarget = TargetWithoutPassword(m_strUrl);
    std::vector<std::string> ids;
    {
        CSqliteStore spool;
        std::string strErr;
        ASSERT_TRUE(spool.OpenForWriting(Spool(), 1000, &strErr)) << strErr;
        const SSpoolTag tag{strTarget, "bench"};
        for (int i = 0; i < 3000; ++i) {
            SRunRecord rec = EndedRecord(StartedRecord("COM" + std::to_string(33 + i % 8)), "completed");
            ids.push_back(rec.strId);
            ASSERT_TRUE(spool.Put(rec, &tag, &strErr)) << strErr;
        }
    }
    int nKilledMidWay = 0;
    for (int nRound = 0; nRound < 6 && SpoolPending(Spool(), strTarget) > 0; ++nRound) {
        int fdOut, fdErr;
        const pid_t pid = Spawn({ZT_FORWARD_EXE, "--spool", Spool(), "--target", m_strUrl}, &fdOut, &fdErr);
        const int64_t nBefore = SpoolPending(Spool(), strTarget);
        WaitFor([&] { return SpoolPending(Spool(), strTarget) < nBefore; }, 10000);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        close(fdOut);
        close(fdErr);
        nKilledMidWay += SpoolPending(Spool(), strTarget) > 0 ? 1 : 0;
    }
    EXPECT_GT(nKilledMidWay, 0);
    SProcessResult r = ForwardOnce(m_strUrl);
    EXPECT_EQ(r.nExit, 0) << r.strErr;
    std::map<std::string, SRunRecord> byId = ServerRows(m_strUrl);
    for (const std::string& strId : ids)
        EXPECT_EQ(byId.count(strId), 1u);
    EXPECT_EQ(SpoolPending(Spool(), strTarget), 0);
}

// Ctrl-C at the station's terminal reaches the whole process group; the
// operator may answer No and go on, so the forwarder must go on too.
TEST_F(RecordsServer, ForwarderUnderAStationOutlivesCtrlC)
{
    CRunRecorder recorder;
    std::string strErr, strWarning;
    ASSERT_TRUE(recorder.Open(Options(), &strErr, &strWarning)) << strErr;
    // The forwarder: this process's child of that name.
    pid_t forwarder = -1;
    std::ifstream children("/proc/self/task/" + std::to_string(getpid()) + "/children");
    for (pid_t pid; children >> pid;) {
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string strName;
        if (std::getline(comm, strName) && strName.rfind("zt9047q-forward", 0) == 0)
            forwarder = pid;
    }
    ASSERT_GT(forwarder, 0);
    kill(forwarder, SIGINT);
    SRunRecord rec = EndedRecord(StartedRecord("COM33"), "completed");
    recorder.RunEnded(rec);
    EXPECT_TRUE(WaitFor([&] { return ServerRows(m_strUrl).count(rec.strId) == 1; }, 5000));
    recorder.Close();
}

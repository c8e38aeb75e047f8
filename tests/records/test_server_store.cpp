// The records on a real PostgreSQL server through each station's spool.
// scripts/test-records.sh starts the server and names it: ZT_PG_URL (a
// database the tests may fill), ZT_PG_SOCKET_DIR and ZT_PG_CTL (pg_ctl with
// its data folder, to stop and start the server in the middle of a test).
#include "RecordsExport.h"
#include "RecordsRig.h"

#include <csignal>
#include <gtest/gtest.h>
#include <map>

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

    SRecorderOptions Options() const
    {
        SRecorderOptions o;
        o.strTarget = m_strUrl;
        o.strSpool = m_dir / "state/spool.db";
        o.nMaxRetryMs = 200;
        o.nShutdownWaitMs = 3000;
        return o;
    }

    void Server(const char* pszAction)
    {
        const std::string strCmd = m_strCtl + (std::string(pszAction) == "stop" ? " stop -m fast -w" : " start -w")
            + " >/dev/null";
        ASSERT_EQ(std::system(strCmd.c_str()), 0) << strCmd;
    }

    // The server's rows by id.
    std::map<std::string, SRunRecord> OnServer()
    {
        std::vector<SRunRecord> recs;
        std::string strErr;
        EXPECT_TRUE(QueryRecords(m_strUrl, SRecordFilter(), &recs, &strErr)) << strErr;
        std::map<std::string, SRunRecord> byId;
        for (const SRunRecord& r : recs)
            EXPECT_TRUE(byId.emplace(r.strId, r).second) << "twice: " << r.strId;
        return byId;
    }

    std::string m_strUrl, m_strCtl;
    CTempDir m_dir;
};

} // namespace

TEST_F(RecordsServer, ServerStoppedMidStreamGetsEveryRecordOnceAfterwards)
{
    CRunRecorder recorder;
    std::string strErr, strWarning;
    ASSERT_TRUE(recorder.Open(Options(), &strErr, &strWarning)) << strErr;
    EXPECT_EQ(strWarning, "");
    std::vector<SRunRecord> sent;
    for (int i = 0; i < 60; ++i) {
        if (i == 20)
            Server("stop");
        if (i == 40)
            Server("start");
        SRunRecord rec = StartedRecord("COM" + std::to_string(33 + i % 8));
        rec.strText = "unit \xB0";
        recorder.RunStarted(rec);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        sent.push_back(EndedRecord(rec, i % 7 ? "completed" : "silence"));
        recorder.RunEnded(sent.back());
        if (i == 30) {
            EXPECT_GT(recorder.Counts().nPendingForward, 0);
        }
    }
    ASSERT_TRUE(WaitFor([&] { return recorder.Counts().nPendingForward == 0; })) << recorder.LastError();
    EXPECT_TRUE(recorder.Close().empty());
    EXPECT_EQ(recorder.Counts().nSaved, 60);

    std::map<std::string, SRunRecord> byId = OnServer();
    for (const SRunRecord& rec : sent) {
        ASSERT_EQ(byId.count(rec.strId), 1u);
        const SRunRecord& got = byId[rec.strId];
        EXPECT_EQ(got.strResult, rec.strResult);
        EXPECT_EQ(got.strText, Latin1ToUtf8(rec.strText));
        EXPECT_EQ(got.strUnitVersion, std::optional<std::string>("2.10"));
        EXPECT_EQ(got.nElapsedMs, std::optional<int64_t>(6144));
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
    EXPECT_EQ(next.Counts().nPendingForward, 5);
    ASSERT_TRUE(WaitFor([&] { return next.Counts().nPendingForward == 0; })) << next.LastError();
    next.Close();
    std::map<std::string, SRunRecord> byId = OnServer();
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
    EXPECT_TRUE(absent.Close().empty());
    EXPECT_EQ(absent.Counts().nSaved, 1);
    EXPECT_EQ(absent.Counts().nPendingForward, 1);
}

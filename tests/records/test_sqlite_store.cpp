// The records in SQLite files: each run's two writes, the faults refused at
// start, a disk that fills, two stations on one file, and the export.
#include "RecordsExport.h"
#include "RecordsRig.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

SRecorderOptions Options(const std::string& strTarget)
{
    SRecorderOptions o;
    o.strTarget = strTarget;
    o.nBusyTimeoutMs = 300;
    o.nShutdownWaitMs = 500;
    o.nMaxRetryMs = 100;
    return o;
}

std::vector<SRunRecord> ReadAll(const std::string& strTarget)
{
    std::vector<SRunRecord> recs;
    std::string strErr;
    EXPECT_TRUE(QueryRecords(strTarget, SRecordFilter(), &recs, &strErr)) << strErr;
    return recs;
}

std::string OpenError(const SRecorderOptions& o)
{
    CRunRecorder recorder;
    std::string strErr, strWarning;
    if (recorder.Open(o, &strErr, &strWarning))
        return "";
    return strErr.empty() ? "(no reason given)" : strErr;
}

off_t FileSize(const std::string& strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 ? st.st_size : 0;
}

} // namespace

// A run killed before its end leaves a row that says it never finished.
TEST(RecordsSqlite, KilledRunLeavesItsRunningRowAndAnEndedRunIsCompleted)
{
    CTempDir dir;
    const std::string strDb = dir / "runs.db";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        CRunRecorder recorder;
        std::string strErr, strWarning;
        if (!recorder.Open(Options(strDb), &strErr, &strWarning))
            _exit(3);
        SRunRecord rec = StartedRecord("COM33");
        recorder.RunStarted(rec);
        recorder.RunStarted(StartedRecord("COM34"));
        recorder.RunEnded(EndedRecord(rec, "completed"));
        WaitFor([&] { return recorder.Counts().nSaved == 2; });
        (void)!write(fds[1], "k", 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);

    std::vector<SRunRecord> recs = ReadAll(strDb);
    ASSERT_EQ(recs.size(), 2u);
    std::map<std::string, SRunRecord> byPort;
    for (const SRunRecord& r : recs)
        byPort[r.strPort] = r;
    EXPECT_EQ(byPort["COM33"].strResult, "completed");
    EXPECT_EQ(byPort["COM33"].nFrames, 196);
    EXPECT_EQ(byPort["COM33"].strUnitVersion, std::optional<std::string>("2.10"));
    EXPECT_EQ(byPort["COM34"].strResult, "running");
    EXPECT_FALSE(byPort["COM34"].strEndedAt.has_value());
}

TEST(RecordsSqlite, StoresThatCannotBeWrittenAreRefusedAtStart)
{
    CTempDir dir;
    // No such folder.
    EXPECT_NE(OpenError(Options(dir / "missing/runs.db")).find("unable to open"), std::string::npos);

    // A newer schema than this program knows.
    const std::string strNewer = dir / "newer.db";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(strNewer.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version=3", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_NE(OpenError(Options(strNewer)).find("has schema version 3; this program knows version 2"),
              std::string::npos);

    // Locked by another station beyond the busy time-out.
    const std::string strLocked = dir / "locked.db";
    ASSERT_EQ(OpenError(Options(strLocked)), "");
    ASSERT_EQ(sqlite3_open(strLocked.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_NE(OpenError(Options(strLocked)).find("locked"), std::string::npos);
    sqlite3_close(db);
    EXPECT_EQ(OpenError(Options(strLocked)), "");

    // A read-only file, and a read-only folder (where WAL cannot make its
    // files); as root, tried as nobody, since root may write anyway.
    const std::string strRoFile = dir / "ro-file.db";
    const std::string strRoDir = dir / "ro-dir";
    ASSERT_EQ(OpenError(Options(strRoFile)), "");
    ASSERT_EQ(mkdir(strRoDir.c_str(), 0755), 0);
    ASSERT_EQ(OpenError(Options(strRoDir + "/runs.db")), "");
    chmod(dir.Path().c_str(), 0755);
    chmod(strRoFile.c_str(), 0444);
    chmod((strRoDir + "/runs.db").c_str(), 0666);
    chmod(strRoDir.c_str(), 0555);
    for (const std::string& strPath : {strRoFile, strRoDir + "/runs.db"}) {
        const int nStatus = InChild([&] {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                return 9;
            const std::string strErr = OpenError(Options(strPath));
            std::fprintf(stderr, "%s: %s\n", strPath.c_str(), strErr.c_str());
            return strErr.empty() ? 1 : 0;
        });
        EXPECT_EQ(nStatus, 0) << strPath << " was not refused";
    }
}

// A disk that fills: refused at start; filling later, the writes wait and
// are retried, and what is still unsaved at the end is handed back.
TEST(RecordsSqlite, FullDiskIsRefusedAtStartAndRetriedLater)
{
    CTempDir dir;
    const std::string strDb = dir / "runs.db";
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit unlimited, full;
    getrlimit(RLIMIT_FSIZE, &unlimited);
    full = unlimited;
    auto fill = [&](rlim_t nBytes) {
        full.rlim_cur = nBytes;
        setrlimit(RLIMIT_FSIZE, &full);
    };

    fill(0);
    EXPECT_NE(OpenError(Options(strDb)), "");
    setrlimit(RLIMIT_FSIZE, &unlimited);

    CRunRecorder recorder;
    std::string strErr, strWarning;
    ASSERT_TRUE(recorder.Open(Options(strDb), &strErr, &strWarning)) << strErr;
    SRunRecord first = StartedRecord("COM33");
    recorder.RunStarted(first);
    ASSERT_TRUE(WaitFor([&] { return recorder.Counts().nSaved == 1; }));

    // Nothing more fits: the end and a second run wait in the queue.
    fill(static_cast<rlim_t>(std::max(FileSize(strDb), FileSize(strDb + "-wal"))));
    recorder.RunEnded(EndedRecord(first, "completed"));
    SRunRecord second = StartedRecord("COM34");
    recorder.RunStarted(second);
    ASSERT_TRUE(WaitFor([&] { return !recorder.LastError().empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(recorder.Counts().nUnsaved, 2);

    // Space again: the retries save both, in order.
    setrlimit(RLIMIT_FSIZE, &unlimited);
    ASSERT_TRUE(WaitFor([&] { return recorder.Counts().nSaved == 2; }));
    EXPECT_EQ(ReadAll(strDb).front().strResult, "completed");

    // Full to the end: the last run's latest state comes back, unsaved.
    fill(static_cast<rlim_t>(std::max(FileSize(strDb), FileSize(strDb + "-wal"))));
    recorder.RunEnded(EndedRecord(second, "silence"));
    std::vector<SRunRecord> unsaved = recorder.Close();
    setrlimit(RLIMIT_FSIZE, &unlimited);
    ASSERT_EQ(unsaved.size(), 1u);
    EXPECT_EQ(unsaved[0].strId, second.strId);
    EXPECT_EQ(unsaved[0].strResult, "silence");
    EXPECT_EQ(recorder.Counts().nUnsaved, 1);
}

TEST(RecordsSqlite, TwoStationsWriteOneFileAtOnce)
{
    CTempDir dir;
    const std::string strDb = dir / "runs.db";
    const int nRuns = 150;
    auto station = [&](const char* pszPrefix) {
        return [=] {
            CRunRecorder recorder;
            SRecorderOptions o = Options(strDb);
            o.nBusyTimeoutMs = 5000;
            o.nShutdownWaitMs = 3000; // as a station has it: every wait ends with it
            std::string strErr, strWarning;
            if (!recorder.Open(o, &strErr, &strWarning)) {
                std::fprintf(stderr, "station %s: %s\n", pszPrefix, strErr.c_str());
                return 3;
            }
            for (int i = 0; i < nRuns; ++i) {
                SRunRecord rec = StartedRecord(pszPrefix + std::to_string(i));
                recorder.RunStarted(rec);
                recorder.RunEnded(EndedRecord(rec, "completed"));
            }
            return recorder.Close().empty() ? 0 : 4;
        };
    };
    std::vector<pid_t> pids;
    for (const char* psz : {"A", "B"}) {
        auto fn = station(psz);
        pid_t pid = fork();
        if (pid == 0)
            _exit(fn());
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
    }
    std::vector<SRunRecord> recs = ReadAll(strDb);
    ASSERT_EQ(recs.size(), 2u * nRuns);
    for (const SRunRecord& r : recs)
        EXPECT_EQ(r.strResult, "completed");
}

TEST(RecordsSqlite, ExportFiltersCountsAndPutsNewestLast)
{
    CTempDir dir;
    const std::string strDb = dir / "runs.db";
    {
        CRunRecorder recorder;
        std::string strErr, strWarning;
        ASSERT_TRUE(recorder.Open(Options(strDb), &strErr, &strWarning)) << strErr;
        const char* results[] = {"completed", "rejects", "completed", "completed"};
        const char* starts[] = {"2026-03-02T07:00:00.000Z", "2026-03-01T23:59:59.999Z",
                                "2026-03-01T08:00:00.000Z", "2026-02-28T10:00:00.000Z"};
        for (int i = 0; i < 4; ++i) {
            SRunRecord rec = StartedRecord("COM" + std::to_string(33 + i));
            rec.strStartedAt = starts[i];
            SRunRecord ended = EndedRecord(rec, results[i]);
            ended.strText = i == 1 ? "caf\xE9" : "";
            if (i == 1) {
                ended.strReason = "refused-frame";
                ended.strHint = "Check the cable,\r\nthen run the update again.";
            }
            recorder.RunEnded(ended);
        }
        ASSERT_TRUE(recorder.Close().empty());
    }
    auto run = [&](SRecordsExport req) {
        req.strTarget = strDb;
        char* pBuf = nullptr;
        size_t nSize = 0;
        FILE* pOut = open_memstream(&pBuf, &nSize);
        const int nStatus = ExportRecords(req, pOut, stderr);
        std::fclose(pOut);
        std::string str(pBuf, nSize);
        std::free(pBuf);
        return std::make_pair(nStatus, str);
    };
    SRecordsExport req;
    req.strSince = "2026-03-01";
    req.strUntil = "2026-03-01";
    auto out = run(req);
    EXPECT_EQ(out.first, 0);
    // The one day, oldest first; the Latin-1 text as UTF-8.
    EXPECT_EQ(out.second.find(RecordCsvHeader()), 0u);
    const size_t nEarly = out.second.find("COM35"), nLate = out.second.find("COM34");
    EXPECT_TRUE(nEarly != std::string::npos && nLate != std::string::npos && nEarly < nLate) << out.second;
    EXPECT_EQ(out.second.find("COM33"), std::string::npos);
    EXPECT_EQ(out.second.find("COM36"), std::string::npos);
    EXPECT_NE(out.second.find(",caf\xC3\xA9,"), std::string::npos);
    // The end's reason and hint last, the hint on one line.
    EXPECT_NE(out.second.find(",refused-frame,\"Check the cable,  then run the update again.\"\r\n"), std::string::npos)
        << out.second;

    req.eFormat = ERecordsFormat::kCount;
    EXPECT_EQ(run(req).second, "result,count\r\ncompleted,1\r\nrejects,1\r\ntotal,2\r\n"
                               "yield_completed,1\r\nyield_not_verified,0\r\nyield_failed,1\r\n");
    req = SRecordsExport();
    req.strResult = "completed";
    req.eFormat = ERecordsFormat::kJsonl;
    out = run(req);
    EXPECT_EQ(std::count(out.second.begin(), out.second.end(), '\n'), 3);
    EXPECT_LT(out.second.find("COM36"), out.second.find("COM33"));

    req.strSince = "last week";
    EXPECT_EQ(run(req).first, 2);
    req = SRecordsExport();
    req.strTarget = dir / "none.db";
    EXPECT_EQ(ExportRecords(req, stdout, stderr), 1);
    // An output that cannot be written is a failure, with a word.
    req.strTarget = strDb;
    FILE* pFull = std::fopen("/dev/full", "w");
    ASSERT_NE(pFull, nullptr);
    char* pErrBuf = nullptr;
    size_t nErrSize = 0;
    FILE* pErr = open_memstream(&pErrBuf, &nErrSize);
    EXPECT_EQ(ExportRecords(req, pFull, pErr), 1);
    std::fclose(pErr);
    std::fclose(pFull);
    EXPECT_NE(std::string(pErrBuf, nErrSize).find("cannot write the records: No space left on device"),
              std::string::npos);
    std::free(pErrBuf);

    // The newest n for a reader elsewhere in the program, still newest last.
    SRecordFilter newest;
    newest.nLimit = 2;
    std::vector<SRunRecord> recs;
    std::string strErr;
    ASSERT_TRUE(QueryRecords(strDb, newest, &recs, &strErr)) << strErr;
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].strPort, "COM34");
    EXPECT_EQ(recs[1].strPort, "COM33");
}

// A spool shared by stations and targets: each forwarder takes only its
// target's rows, and the counts say whose rows wait. A spool of the first
// schema is brought up to date; its rows name no target until given one.
TEST(RecordsSqlite, SpoolRowsKeepTheirTargetAndOwner)
{
    CTempDir dir;
    const std::string strSpool = dir / "spool.db";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(strSpool.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE runs (id TEXT PRIMARY KEY NOT NULL, host TEXT, \"user\" TEXT,"
                           " tool_version TEXT, packaged_version TEXT, image_sha256 TEXT, port TEXT, slot TEXT,"
                           " usb_path TEXT, usb_serial TEXT, unit_version TEXT, result TEXT NOT NULL, text TEXT,"
                           " bytes INTEGER, frames INTEGER, started_at TEXT NOT NULL, ended_at TEXT,"
                           " elapsed_ms INTEGER, verified INTEGER, version_after TEXT, forward_mark INTEGER);"
                           "CREATE TABLE records_meta (key TEXT PRIMARY KEY NOT NULL, value TEXT);"
                           "INSERT INTO runs(id, result, started_at, forward_mark) VALUES"
                           " ('old-1', 'running', '2026-03-01T08:00:00.000Z', 1);"
                           "PRAGMA user_version=1;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    CSqliteStore spool;
    std::string strErr;
    ASSERT_TRUE(spool.OpenForWriting(strSpool, 1000, &strErr)) << strErr;
    const SSpoolTag prodMine{"postgresql://zt@db/prod", "me"}, prodOther{"postgresql://zt@db/prod", "bench-2"},
        trial{"postgresql://zt@db/trial", "me"};
    for (const SSpoolTag* pTag : {&prodMine, &prodOther, &prodOther, &trial})
        ASSERT_TRUE(spool.Put(StartedRecord("COM33"), pTag, &strErr)) << strErr;
    SPendingCounts counts;
    ASSERT_TRUE(spool.CountPending(prodMine.strTarget, "me", &counts, &strErr)) << strErr;
    EXPECT_EQ(counts.nMine, 1);
    EXPECT_EQ(counts.nOthers, 2);
    ASSERT_EQ(counts.otherTargets.size(), 2u);
    EXPECT_EQ(counts.otherTargets[0], std::make_pair(std::string(), int64_t(1)));
    EXPECT_EQ(counts.otherTargets[1], std::make_pair(trial.strTarget, int64_t(1)));

    std::vector<CSqliteStore::SPending> rows;
    ASSERT_TRUE(spool.TakePending(trial.strTarget, 200, &rows, &strErr)) << strErr;
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_TRUE(spool.MarkForwarded(rows, &strErr)) << strErr;
    int64_t nMoved = 0;
    ASSERT_TRUE(spool.MoveTarget("", trial.strTarget, &nMoved, &strErr)) << strErr;
    EXPECT_EQ(nMoved, 1);
    ASSERT_TRUE(spool.TakePending(trial.strTarget, 200, &rows, &strErr)) << strErr;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].rec.strId, "old-1");
    ASSERT_TRUE(spool.CountPending(prodMine.strTarget, "me", &counts, &strErr)) << strErr;
    EXPECT_EQ(counts.Total(), 3);
    EXPECT_EQ(counts.OtherTargetsTotal(), 1);
}

// The file locked by another program past the busy time-out: the close
// keeps its deadline (a wait for the lock under way included) and hands
// back what it could not save.
TEST(RecordsSqlite, CloseKeepsItsDeadlineWhileTheFileIsLocked)
{
    CTempDir dir;
    const std::string strDb = dir / "runs.db";
    SRecorderOptions o = Options(strDb);
    o.nBusyTimeoutMs = 5000;
    o.nShutdownWaitMs = 1000;
    o.nMaxRetryMs = 2000;
    CRunRecorder recorder;
    std::string strErr, strWarning;
    ASSERT_TRUE(recorder.Open(o, &strErr, &strWarning)) << strErr;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(strDb.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    SRunRecord rec = StartedRecord("COM33");
    recorder.RunStarted(rec);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the writer now waits for the lock
    const auto start = std::chrono::steady_clock::now();
    const std::vector<SRunRecord> unsaved = recorder.Close();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_LT(elapsed, std::chrono::milliseconds(1300));
    ASSERT_EQ(unsaved.size(), 1u);
    EXPECT_EQ(unsaved[0].strId, rec.strId);
}

// bench_records: the records room's figures. A stream of records (a start
// and an end per run) through the recorder into an SQLite file: what a
// unit's thread pays to queue one (RunStarted/RunEnded), and what the writer
// thread pays to commit one, as p50/p99/max in ms. Then the export of
// 100,000 records to CSV, in seconds.
//   bench_records [RUNS] [EXPORT_RECORDS]
#include "RecordsExport.h"
#include "RunRecorder.h"
#include "SqliteStore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sqlite3.h>
#include <string>
#include <thread>
#include <vector>

namespace {

double NowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Print(const char* pszWhat, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))]; };
    std::printf("%-34s n=%zu  p50 %.3f ms  p99 %.3f ms  max %.3f ms\n", pszWhat, v.size(), at(0.5), at(0.99),
                v.back());
}

SRunRecord Record(int i)
{
    SRunRecord rec;
    rec.strId = NewRecordId();
    rec.strHost = "bench-3";
    rec.strUser = "operator";
    rec.strToolVersion = "2.20.0";
    rec.strPackagedVersion = "2.20";
    rec.strImageSha256 = std::string(64, 'c');
    rec.strPort = "COM" + std::to_string(33 + i % 32);
    rec.strUsbPath = "1-2." + std::to_string(1 + i % 4);
    rec.strStartedAt = UtcNowIso8601Ms();
    return rec;
}

SRunRecord Ended(SRunRecord rec)
{
    rec.strResult = "completed";
    rec.strText = "ZT9047Q firmware updated to version 2.20";
    rec.strUnitVersion = "2.10";
    rec.nBytes = 103888;
    rec.nFrames = 196;
    rec.strEndedAt = UtcNowIso8601Ms();
    rec.nElapsedMs = 6144;
    return rec;
}

} // namespace

int main(int argc, char** argv)
{
    const int nRuns = argc > 1 ? std::atoi(argv[1]) : 500;
    const int nExport = argc > 2 ? std::atoi(argv[2]) : 100000;
    char szDir[] = "/tmp/zt-bench-records-XXXXXX";
    if (!mkdtemp(szDir))
        return 1;
    const std::string strDir = szDir;

    // The stream: one record every 2 ms, as many units starting and ending.
    {
        CRunRecorder recorder;
        SRecorderOptions o;
        o.strTarget = strDir + "/stream.db";
        std::string strErr, strWarning;
        if (!recorder.Open(o, &strErr, &strWarning)) {
            std::fprintf(stderr, "bench_records: %s\n", strErr.c_str());
            return 1;
        }
        std::vector<double> queued;
        for (int i = 0; i < nRuns; ++i) {
            SRunRecord rec = Record(i);
            double t = NowMs();
            recorder.RunStarted(rec);
            queued.push_back(NowMs() - t);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            SRunRecord ended = Ended(rec);
            t = NowMs();
            recorder.RunEnded(ended);
            queued.push_back(NowMs() - t);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const double tClose = NowMs();
        const size_t nUnsaved = recorder.Close().size();
        std::printf("stream of %d records: %zu unsaved, %.1f ms to drain at the end\n", 2 * nRuns, nUnsaved,
                    NowMs() - tClose);
        Print("queue (a unit's thread)", queued);
    }
    // The writer's part alone: one committed transaction per record.
    {
        CSqliteStore store;
        std::string strErr;
        if (!store.OpenForWriting(strDir + "/writer.db", 5000, &strErr)) {
            std::fprintf(stderr, "bench_records: %s\n", strErr.c_str());
            return 1;
        }
        std::vector<double> commit;
        for (int i = 0; i < nRuns; ++i) {
            SRunRecord rec = Record(i);
            double t = NowMs();
            store.Put(rec, nullptr, &strErr);
            commit.push_back(NowMs() - t);
            t = NowMs();
            store.Put(Ended(rec), nullptr, &strErr);
            commit.push_back(NowMs() - t);
        }
        Print("commit (the writer thread)", commit);
    }
    // Export: the rows put in by one bulk transaction, then written as CSV.
    {
        const std::string strDb = strDir + "/export.db";
        CSqliteStore store;
        std::string strErr;
        if (!store.OpenForWriting(strDb, 5000, &strErr))
            return 1;
        store.Close();
        sqlite3* db = nullptr;
        sqlite3_open(strDb.c_str(), &db);
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_stmt* st = nullptr;
        // By name: the table has columns of its own beside the record's.
        std::string strColumns, strValues;
        for (const char* psz : RecordFieldNames()) {
            strColumns += std::string(strColumns.empty() ? "\"" : ",\"") + psz + "\"";
            strValues += strValues.empty() ? "?" : ",?";
        }
        const std::string strSql = "INSERT INTO runs(" + strColumns + ") VALUES(" + strValues + ")";
        if (sqlite3_prepare_v2(db, strSql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            std::fprintf(stderr, "bench_records: %s\n", sqlite3_errmsg(db));
            return 1;
        }
        for (int i = 0; i < nExport; ++i) {
            SRunRecord rec = Ended(Record(i));
            int n = 1;
            for (const SField& f : RecordFields(rec)) {
                if (f.strValue)
                    sqlite3_bind_text(st, n, f.strValue->c_str(), -1, SQLITE_TRANSIENT);
                else
                    sqlite3_bind_null(st, n);
                ++n;
            }
            sqlite3_step(st);
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);

        const std::string strCsv = strDir + "/export.csv";
        FILE* pOut = std::fopen(strCsv.c_str(), "wb");
        SRecordsExport req;
        req.strTarget = strDb;
        const double t = NowMs();
        const int nStatus = ExportRecords(req, pOut, stderr);
        std::fclose(pOut);
        const double dSeconds = (NowMs() - t) / 1000.0;
        std::printf("export of %d records to CSV: %.2f s (status %d)\n", nExport, dSeconds, nStatus);
    }
    std::system(("rm -rf '" + strDir + "'").c_str());
    return 0;
}

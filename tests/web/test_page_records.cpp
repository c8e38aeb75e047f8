// The station page's view of the records, over an SQLite file it opens
// read-only.
#include "PageRecords.h"
#include "RecordsRig.h"
#include "SqliteStore.h"

#include <gtest/gtest.h>

namespace {

SRunRecord At(const std::string& strStart, const std::string& strResult, std::optional<bool> bVerified = {})
{
    SRunRecord rec = EndedRecord(StartedRecord("COM33"), strResult);
    rec.strStartedAt = strStart;
    rec.strEndedAt = strStart;
    rec.bVerified = bVerified;
    return rec;
}

void Put(const std::string& strDb, const std::vector<SRunRecord>& recs)
{
    CSqliteStore store;
    std::string strErr;
    ASSERT_TRUE(store.OpenForWriting(strDb, 1000, &strErr)) << strErr;
    for (const SRunRecord& rec : recs)
        ASSERT_TRUE(store.Put(rec, nullptr, &strErr)) << strErr;
}

size_t Count(const std::string& s, const std::string& strWhat)
{
    size_t n = 0;
    for (size_t p = s.find(strWhat); p != std::string::npos; p = s.find(strWhat, p + 1))
        ++n;
    return n;
}

} // namespace

TEST(PageRecords, DayCountsAndCsvKeepToTheirDay)
{
    CTempDir dir;
    const std::string strDb = dir / "records.db";
    Put(strDb, {At("2026-02-28T23:59:59.999Z", "rejects"), At("2026-03-01T00:00:00.000Z", "completed"),
                At("2026-03-01T08:00:00.000Z", "completed", false), At("2026-03-01T09:00:00.000Z", "up-to-date"),
                At("2026-03-01T10:00:00.000Z", "declined"), At("2026-03-01T11:00:00.000Z", "silence"),
                At("2026-03-01T12:00:00.000Z", "running"), At("2026-03-02T00:00:00.000Z", "completed")});
    std::string strErr;
    std::unique_ptr<IRecordSource> pSource = OpenSqliteRecordSource(strDb, 2, &strErr);
    ASSERT_TRUE(strErr.empty()) << strErr;
    SRecordCounts counts;
    ASSERT_TRUE(pSource->DayCounts("2026-03-01", counts, strErr)) << strErr;
    EXPECT_EQ(counts.nCompleted, 1);
    EXPECT_EQ(counts.nNotVerified, 1); // the unverified one is no success
    EXPECT_EQ(counts.nFailed, 1);
    std::unique_ptr<ICsvCursor> cursor = pSource->DayCsv("2026-03-01", strErr);
    ASSERT_TRUE(cursor) << strErr;
    std::string strCsv;
    while (cursor->Next(strCsv, 10)) {} // pieces smaller than a row
    EXPECT_EQ(strCsv.compare(0, 3, "id,"), 0) << strCsv;
    EXPECT_EQ(Count(strCsv, "\r\n"), 7u) << strCsv; // the header and six runs of that day
    ASSERT_TRUE(pSource->DayCounts("2026-03-03", counts, strErr));
    EXPECT_EQ(counts.nCompleted + counts.nNotVerified + counts.nFailed, 0);
    // A store that is not there is no empty success.
    std::string strJson;
    EXPECT_FALSE(OpenSqliteRecordSource(dir / "none.db", 1, &strErr)->RecordsJson("", 10, strJson, strErr));
    EXPECT_NE(strErr.find("none.db"), std::string::npos) << strErr;
}

TEST(PageRecords, RecentRecordsAsTheUnitBoardReadsThem)
{
    CTempDir dir;
    const std::string strDb = dir / "records.db";
    Put(strDb, {At("2026-02-28T23:59:59.000Z", "rejects"), At("2026-03-01T00:00:00.500Z", "completed"),
                At("2026-03-01T08:00:00.000Z", "silence"), At("2026-03-01T09:00:00.000Z", "completed")});
    std::string strErr, strJson;
    std::unique_ptr<IRecordSource> pSource = OpenSqliteRecordSource(strDb, 1, &strErr);
    // The page's spelling of a time, without milliseconds, takes the run
    // half a second after midnight.
    ASSERT_TRUE(pSource->RecordsJson("2026-03-01T00:00:00Z", 50, strJson, strErr)) << strErr;
    EXPECT_EQ(Count(strJson, "\"id\":"), 3u) << strJson;
    ASSERT_TRUE(pSource->RecordsJson("", 2, strJson, strErr)); // the newest two, newest last
    ASSERT_EQ(strJson.front(), '[');
    ASSERT_EQ(strJson.back(), ']');
    EXPECT_EQ(Count(strJson, "\"id\":"), 2u) << strJson;
    EXPECT_LT(strJson.find("\"result\":\"silence\""), strJson.find("\"result\":\"completed\"")) << strJson;
    EXPECT_NE(strJson.find("\"start\":\"2026-03-01T09:00:00.000Z\",\"end\":\"2026-03-01T09:00:00.000Z\"}]"),
              std::string::npos)
        << strJson;
}

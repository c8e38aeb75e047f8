// The station page's view of the records, over an SQLite file.
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
    std::unique_ptr<IRecordSource> pSource = MakePageRecordSource(strDb);
    SRecordCounts counts = pSource->DayCounts("2026-03-01");
    // The unverified one is no success, and no failure either: the yield
    // counts it as "not verified".
    EXPECT_EQ(counts.nCompleted, 1);
    EXPECT_EQ(counts.nFailed, 1);
    std::string strCsv = pSource->DayCsv("2026-03-01");
    EXPECT_EQ(strCsv.compare(0, 3, "id,"), 0) << strCsv;
    EXPECT_EQ(Count(strCsv, "\r\n"), 7u) << strCsv; // the header and six runs of that day
    EXPECT_EQ(pSource->DayCounts("2026-03-03").nCompleted + pSource->DayCounts("2026-03-03").nFailed, 0);
    EXPECT_EQ(MakePageRecordSource(dir / "none.db")->RecordsJson("", 10), "[]");
}

TEST(PageRecords, RecentRecordsAsTheUnitBoardReadsThem)
{
    CTempDir dir;
    const std::string strDb = dir / "records.db";
    Put(strDb, {At("2026-02-28T23:59:59.000Z", "rejects"), At("2026-03-01T00:00:00.500Z", "completed"),
                At("2026-03-01T08:00:00.000Z", "silence"), At("2026-03-01T09:00:00.000Z", "completed")});
    std::unique_ptr<IRecordSource> pSource = MakePageRecordSource(strDb);
    // The page's spelling of a time, without milliseconds, takes the run
    // half a second after midnight.
    std::string strJson = pSource->RecordsJson("2026-03-01T00:00:00Z", 50);
    EXPECT_EQ(Count(strJson, "\"id\":"), 3u) << strJson;
    strJson = pSource->RecordsJson("", 2); // the newest two, newest last
    ASSERT_EQ(strJson.front(), '[');
    ASSERT_EQ(strJson.back(), ']');
    EXPECT_EQ(Count(strJson, "\"id\":"), 2u) << strJson;
    EXPECT_LT(strJson.find("\"result\":\"silence\""), strJson.find("\"result\":\"completed\"")) << strJson;
    EXPECT_NE(strJson.find("\"start\":\"2026-03-01T09:00:00.000Z\",\"end\":\"2026-03-01T09:00:00.000Z\"}]"),
              std::string::npos)
        << strJson;
}

// The record's own pieces: the image digest, ids, the export formats and
// the TIME of --since and --until.
#include "RecordsRig.h"
#include "RecordsExport.h"
#include "Sha256.h"

#include <gtest/gtest.h>
#include <set>

TEST(RecordFormat, Sha256MatchesKnownDigests)
{
    EXPECT_EQ(Sha256Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Two blocks, with the length spilling into the second.
    const std::string str448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(Sha256Hex(str448.data(), str448.size()),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // Fed in uneven pieces, as the image may be.
    CSha256 sha;
    const std::string strMillion(1000000, 'a');
    for (size_t i = 0; i < strMillion.size(); i += 997)
        sha.Update(strMillion.data() + i, std::min<size_t>(997, strMillion.size() - i));
    EXPECT_EQ(sha.HexDigest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(RecordFormat, IdsAreRandomVersion4Uuids)
{
    std::set<std::string> ids;
    for (int i = 0; i < 1000; ++i) {
        const std::string str = NewRecordId();
        ASSERT_EQ(str.size(), 36u);
        EXPECT_EQ(str[14], '4');
        EXPECT_NE(std::string("89ab").find(str[19]), std::string::npos);
        ids.insert(str);
    }
    EXPECT_EQ(ids.size(), 1000u);
}

TEST(RecordFormat, CsvQuotesAndJsonEscapesAsTheEndEventDoes)
{
    SRunRecord rec = EndedRecord(StartedRecord("COM33"), "rejects");
    rec.strText = "Error: \"frame\" rejected,\r\nunit says \xE9";
    rec.strUsbSerial.reset();
    rec.bVerified = false;
    const std::string strCsv = RecordCsvRow(rec);
    EXPECT_NE(strCsv.find(",\"Error: \"\"frame\"\" rejected,\r\nunit says \xE9\","), std::string::npos) << strCsv;
    EXPECT_NE(strCsv.find(",1-2.3,,2.10,rejects,"), std::string::npos) << strCsv;
    EXPECT_EQ(strCsv.substr(strCsv.size() - 2), "\r\n");
    EXPECT_EQ(RecordCsvHeader().substr(0, 24), "id,host,user,tool_versio");

    // The program's 8-bit text and the same text read back from a store
    // (UTF-8) give the same ASCII line.
    const std::string strLine = RecordJsonLine(rec, false);
    SRunRecord stored = rec;
    stored.strText = Latin1ToUtf8(rec.strText);
    EXPECT_EQ(RecordJsonLine(stored, true), strLine);
    EXPECT_NE(strLine.find("\"text\":\"Error: \\\"frame\\\" rejected,\\r\\nunit says \\u00e9\""), std::string::npos)
        << strLine;
    EXPECT_NE(strLine.find("\"usb_serial\":null,\"unit_version\":2.10,\"result\":\"rejects\""), std::string::npos);
    EXPECT_NE(strLine.find("\"verified\":false,\"version_after\":null}"), std::string::npos);
}

TEST(RecordFormat, TimesOfSinceAndUntil)
{
    std::string str;
    bool bInclusive = true;
    ASSERT_TRUE(ParseRecordsTime("2026-02-28", false, &str, &bInclusive));
    EXPECT_EQ(str, "2026-02-28T00:00:00.000Z");
    // A date as the upper bound covers its whole day, across a month's end.
    ASSERT_TRUE(ParseRecordsTime("2026-02-28", true, &str, &bInclusive));
    EXPECT_EQ(str, "2026-03-01T00:00:00.000Z");
    EXPECT_FALSE(bInclusive);
    ASSERT_TRUE(ParseRecordsTime("2026-03-01T08:05", true, &str, &bInclusive));
    EXPECT_EQ(str, "2026-03-01T08:05:00.000Z");
    EXPECT_TRUE(bInclusive);
    ASSERT_TRUE(ParseRecordsTime("2026-03-01 08:05:07.5Z", false, &str, &bInclusive));
    EXPECT_EQ(str, "2026-03-01T08:05:07.500Z");
    ASSERT_TRUE(ParseRecordsTime("today", false, &str, &bInclusive));
    EXPECT_EQ(str, UtcNowIso8601Ms().substr(0, 10) + "T00:00:00.000Z");
    for (const char* psz : {"yesterday", "2026-3-1", "2026-13-01", "2026-03-01T8:05", "2026-03-01T08:05+01:00"})
        EXPECT_FALSE(ParseRecordsTime(psz, false, &str, &bInclusive)) << psz;
}

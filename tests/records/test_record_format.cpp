// The record's own pieces: the image digest, ids, the export formats and
// the TIME of --since and --until.
#include "RecordsRig.h"
#include "JsonText.h"
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
    rec.strText = "Error: \"frame\" rejected,\r\nunit says \xE9\r";
    rec.strUsbSerial.reset();
    rec.bVerified = false;
    // As stored: the unit's 8-bit text as UTF-8, on one line.
    const SRunRecord stored = RecordForStore(rec);
    EXPECT_EQ(stored.strText, "Error: \"frame\" rejected,  unit says \xC3\xA9");
    const std::string strCsv = RecordCsvRow(stored);
    EXPECT_NE(strCsv.find(",\"Error: \"\"frame\"\" rejected,  unit says \xC3\xA9\","), std::string::npos) << strCsv;
    EXPECT_NE(strCsv.find(",1-2.3,,2.10,rejects,"), std::string::npos) << strCsv;
    EXPECT_EQ(strCsv.substr(strCsv.size() - 2), "\r\n");
    EXPECT_EQ(RecordCsvHeader().substr(0, 24), "id,host,user,tool_versio");

    // The unit's byte escaped as the end event escapes it.
    EXPECT_NE(JsonString(rec.strText).find("unit says \\u00e9"), std::string::npos);
    const std::string strLine = RecordJsonLine(stored);
    EXPECT_NE(strLine.find("\"text\":\"Error: \\\"frame\\\" rejected,  unit says \\u00e9\""), std::string::npos)
        << strLine;
    EXPECT_NE(strLine.find("\"usb_serial\":null,\"unit_version\":2.10,\"result\":\"rejects\""), std::string::npos);
    EXPECT_NE(strLine.find("\"verified\":false,\"version_after\":null,\"reason\":null,\"hint\":null}"),
              std::string::npos)
        << strLine;
}

// A name typed in UTF-8 stays one encoding deep: stored as given, escaped
// as the end event escapes it.
TEST(RecordFormat, Utf8NamesAreStoredAsGiven)
{
    SRunRecord rec = StartedRecord("/dev/ttyPr\xC3\xBC" "f0");
    rec.strSlot = "Pr\xC3\xBC" "fplatz 3";
    const SRunRecord stored = RecordForStore(rec);
    EXPECT_EQ(stored.strSlot, rec.strSlot);
    EXPECT_EQ(stored.strPort, rec.strPort);
    const std::string strLine = RecordJsonLine(stored);
    EXPECT_NE(strLine.find("\"slot\":" + JsonString(*rec.strSlot)), std::string::npos) << strLine;
    EXPECT_NE(strLine.find("Pr\\u00fcfplatz"), std::string::npos) << strLine;
}

// Cells a spreadsheet would run as a formula stay text.
TEST(RecordFormat, CsvNeutralisesFormulaCells)
{
    SRunRecord rec = EndedRecord(StartedRecord("=HYPERLINK(\"http://x\")"), "silence");
    rec.strSlot = "@bench";
    rec.strText = "-1 frames";
    rec.strUsbSerial = "+41";
    rec.strHint = "\tTab";
    const std::string strCsv = RecordCsvRow(rec);
    EXPECT_NE(strCsv.find(",\"'=HYPERLINK(\"\"http://x\"\")\",'@bench,"), std::string::npos) << strCsv;
    EXPECT_NE(strCsv.find(",'+41,"), std::string::npos) << strCsv;
    EXPECT_NE(strCsv.find(",'-1 frames,"), std::string::npos) << strCsv;
    EXPECT_NE(strCsv.find(",'\tTab\r\n"), std::string::npos) << strCsv;
    EXPECT_EQ(CsvCell("2026-03-01"), "2026-03-01");
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
    ASSERT_TRUE(ParseRecordsTime("2028-02-29", true, &str, &bInclusive));
    EXPECT_EQ(str, "2028-03-01T00:00:00.000Z");
    // Impossible days and times are refused, not rolled into the next month.
    for (const char* psz : {"yesterday", "2026-3-1", "2026-13-01", "2026-03-01T8:05", "2026-03-01T08:05+01:00",
                            "2026-02-30", "2026-02-29", "2100-02-29", "2026-04-31", "2026-03-01T24:00",
                            "2026-03-01T08:60", "2026-03-01T08:05:60"})
        for (bool bUpper : {false, true})
            EXPECT_FALSE(ParseRecordsTime(psz, bUpper, &str, &bInclusive)) << psz;
}

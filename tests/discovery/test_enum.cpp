#include "discovery/EnumSerialPorts.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

// Serves records that a test makes; records which paths were tried.
class CListSource : public IPortSource
{
public:
    void Enumerate(CSerInfoArray& list) override
    {
        for (const SSerInfo& info : m_records) {
            SSerInfo copy = info;
            list.Add(copy);
        }
        if (!m_strThrow.empty())
            throw m_strThrow;
    }
    bool CanOpen(const std::string& strPath) override
    {
        m_tried.push_back(strPath);
        return m_openable.count(strPath) != 0;
    }
    void AddName(const std::string& strDisplay, const std::string& strCom = "")
    {
        SSerInfo info;
        info.strPath = "path" + std::to_string(m_records.size());
        info.strComName = strCom;
        info.strDisplayName = strDisplay;
        m_records.push_back(info);
    }

    std::vector<SSerInfo> m_records;
    std::set<std::string> m_openable;
    std::vector<std::string> m_tried;
    std::string m_strThrow;
};

int Detect(const std::vector<std::string>& names)
{
    CListSource source;
    for (const std::string& str : names)
        source.AddName(str);
    return CEnumSerialPorts(&source).FindDevicePort();
}

} // namespace

TEST(EnumerateAll, ClearsTheListAndDerivesNamesAndDescriptions)
{
    CListSource source;
    source.AddName("", "COM3");
    for (const char* psz : {"Communications Port (COM1)", "(COM1)", " (COM1)", "Port (A) (COM1)", "Port (COM1) B",
                            "Port (A (COM1)"}) // cut at the first " (", not the last
        source.AddName(psz);
    source.AddName("USB Serial Port (COM5)");
    source.m_records.back().strDescription = "Kept as it is";
    CSerInfoArray list;
    list.Add(source.m_records[1]); // stale contents go first
    ASSERT_EQ(CEnumSerialPorts(&source).EnumerateAll(list, 0), 8);
    const char* kDescriptions[] = {"COM3", "Communications Port", "(COM1)", " (COM1)",
                                   "Port (A) (COM1)", "Port (COM1) B", "Port", "Kept as it is"};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(list[i].strDescription, kDescriptions[i]) << i;
    EXPECT_EQ(list[0].strDisplayName, "COM3");
    EXPECT_EQ(list[7].strDisplayName, "USB Serial Port (COM5)");
    EXPECT_TRUE(source.m_tried.empty()); // nothing is opened unless asked
}

TEST(EnumerateAll, RemovesUnopenablePortsReexaminingTheSameIndex)
{
    CListSource source;
    for (const char* psz : {"A", "B", "C", "D", "E"})
        source.AddName("", psz);
    source.m_openable = {"path2", "path4"};
    CSerInfoArray list;
    ASSERT_EQ(CEnumSerialPorts(&source).EnumerateAll(list, 1), 2);
    EXPECT_EQ(list[0].strComName, "C");
    EXPECT_EQ(list[1].strComName, "E");
    EXPECT_EQ(list[1].strDescription, "E");
    std::vector<std::string> tried = {"path0", "path1", "path2", "path3", "path4"};
    EXPECT_EQ(source.m_tried, tried); // each record examined exactly once
}

TEST(EnumerateAll, FailureLeavesTheRecordsSoFarUnnormalised)
{
    CListSource source;
    source.AddName("", "COM1");
    source.m_strThrow = "SetupDiEnumDeviceInterfaces failed. (err=5)";
    CSerInfoArray list;
    try {
        CEnumSerialPorts(&source).EnumerateAll(list, 0);
        FAIL() << "no error";
    } catch (const std::string& str) {
        EXPECT_EQ(str, source.m_strThrow);
    }
    ASSERT_EQ(list.GetSize(), 1);
    EXPECT_EQ(list[0].strDisplayName, "");
    try {
        CEnumSerialPorts(&source).FindDevicePort();
        FAIL() << "no error";
    } catch (const std::string& str) {
        EXPECT_EQ(str, source.m_strThrow);
    }
}

TEST(FindDevicePort, MatchesByTheThreeTokensAndReadsTheNumberAfterTheFirstCom)
{
    EXPECT_EQ(Detect({}), -1);
    EXPECT_EQ(Detect({"USB Serial Port (COM3)", "ZT9047Q UART (COM4)"}), -1);
    EXPECT_EQ(Detect({"Generic USB UART (COM2)", "ZT9047Q USB Serial (COM7)"}), -1); // each token counts
    EXPECT_EQ(Detect({"zt9047q usb uart (com7)"}), 7);
    EXPECT_EQ(Detect({"UART USB bridge ZT9047Q (COM12)"}), 12);
    EXPECT_EQ(Detect({"ZT9047Q USB UART", "ZT9047Q USB UART (COM9)"}), 9);
    EXPECT_EQ(Detect({"ZT9047Q USB UART (COM 4)"}), 4);
    EXPECT_EQ(Detect({"ZT9047Q USB UART COMPORT (COM4)"}), -1);
    EXPECT_EQ(Detect({"ZT9047Q USB UART COMPORT (COM4)", "ZT9047Q USB UART (COM6)"}), 6);
    EXPECT_EQ(Detect({"ZT9047Q USB UART (COM300)"}), 300);
    EXPECT_EQ(Detect({"ZT9047Q USB UART COM+8"}), 8);
    EXPECT_EQ(Detect({"ZT9047Q USB UART (COM21)", "ZT9047Q USB UART (COM5)"}), 21);
    // Only the display name counts, not the COM name or the description.
    CListSource source;
    source.AddName("", "COM2");
    source.m_records[0].strDescription = "ZT9047Q USB UART";
    EXPECT_EQ(CEnumSerialPorts(&source).FindDevicePort(), -1);
}

TEST(FindDevicePort, KeepsPortsThatAreInUse)
{
    CListSource source; // nothing is openable
    source.AddName("ZT9047Q USB UART (COM5)");
    EXPECT_EQ(CEnumSerialPorts(&source).FindDevicePort(), 5);
    EXPECT_TRUE(source.m_tried.empty());
}

// The version rule: which units are updated, refused, or asked about.
#include "support/Rig.h"
#include "update/TextFormat.h"

#include <clocale>
#include <cmath>
#include <gtest/gtest.h>

namespace {

struct SVersion : SRig
{
    explicit SVersion(const SSimConfig& c = SSimConfig()) : SRig(c)
    {
        Dlg().m_pPort = new CCommPort(&driver);
        Dlg().m_pPort->Open("COM5", 921600, 2000);
        Dlg().m_pPort->SetTimeouts(1);
    }
    int Check(const std::string& strLine) { return Dlg().CheckDeviceVersion(strLine); }
};

const char kRefusal[] = "Can not upgrade the ZT9047Q's firmware with this bootloader.";
const char kStopped[] = "ZT9047Q stopped responding. Make sure unit is turned on.";

} // namespace

TEST(VersionRule, GoesAheadWithoutAWord)
{
    const char* lines[] = {
        "ZT9047Q FIELD UNIT",          // no key
        "ZT9047Q VER",                 // key at the end
        "ZT9047Q VERSION 2.30",        // letters before the number
        "ZT9047Q VER: 2.30",           // a colon
        "ZT9047Q VER=2.30",            // an equals sign
        "ZT9047Q VER INF",             // no other notation
        "VER 2.20", "VER2.20", "VER 2.2", "VER 2.200", "VER 2.00",
        "VER 2.205",                   // 220 hundredths
        "VER 2.2099",                  // truncated, not rounded
        "VER 2.20 VER 9.99",           // only the first key counts
        "ver 2.1",                     // upper-cased first
    };
    for (const char* pszLine : lines) {
        SCOPED_TRACE(pszLine);
        SVersion t;
        EXPECT_EQ(t.Check(pszLine), 1);
        EXPECT_TRUE(t.surface.m_messages.empty());
        EXPECT_EQ(t.Received(), "");
    }
}

TEST(VersionRule, RefusesOldBootloaders)
{
    const char* lines[] = {"VER 1.99", "VER -2.5", "ver 1.5", "VER 0x10", "VER .5", "VER 1.99E0",
                           "VER 1E-400", "VER 5E-60", "VER 0.00001E-50"}; // too small for a float: 0
    for (const char* pszLine : lines) {
        SCOPED_TRACE(pszLine);
        SVersion t;
        EXPECT_EQ(t.Check(pszLine), 0);
        ASSERT_EQ(t.surface.m_messages.size(), 1u);
        EXPECT_EQ(t.surface.m_messages[0], kRefusal);
        EXPECT_EQ(t.surface.m_types[0], kMsgWarning);
        EXPECT_EQ(t.Received(), "");
    }
}

TEST(VersionRule, AsksBeforeADowngrade)
{
    {
        // No: nothing is sent and nothing more is said.
        SVersion t;
        t.surface.m_answers = {kAnswerNo};
        EXPECT_EQ(t.Check("ZT9047Q VER 2.21"), 0);
        ASSERT_EQ(t.surface.m_messages.size(), 1u);
        EXPECT_EQ(t.surface.m_messages[0],
                  "The ZT9047Q is running a newer firmware version(2.21).\r\n"
                  "Are you sure you want to down grade to version 2.20?");
        EXPECT_EQ(t.surface.m_types[0], kMsgWarningQuestion);
        EXPECT_EQ(t.Received(), "");
    }
    {
        // Yes, and the unit answers with its model name (in any case).
        SSimConfig c;
        c.strWakeReply = "zt9047q field unit ver 2.35\r\n";
        SVersion t(c);
        t.surface.m_answers = {kAnswerYes};
        EXPECT_EQ(t.Check("ZT9047Q VER 2.35"), 1);
        EXPECT_EQ(t.surface.m_messages.size(), 1u);
        EXPECT_EQ(t.Received(), "\r\n");
    }
    {
        // Yes, but the unit has gone quiet.
        SSimConfig c;
        c.bSilent = true;
        SVersion t(c);
        t.surface.m_answers = {kAnswerYes};
        uint64_t nStart = t.clock.Now();
        EXPECT_EQ(t.Check("ZT9047Q VER 3"), 0);
        EXPECT_GT(t.clock.Now() - nStart, 2000u);
        ASSERT_EQ(t.surface.m_messages.size(), 2u);
        EXPECT_EQ(t.surface.m_messages[1], kStopped);
        EXPECT_EQ(t.surface.m_types[1], kMsgOk);
    }
    {
        // Yes, and the answer lacks the model name.
        SSimConfig c;
        c.strWakeReply = "VER 2.35\r\n";
        SVersion t(c);
        t.surface.m_answers = {kAnswerYes};
        EXPECT_EQ(t.Check("ZT9047Q VER 2.35"), 0);
        EXPECT_EQ(t.surface.LastMessage(), kStopped);
    }
}

TEST(VersionRule, NumbersAreReadWithoutTheLocale)
{
    // A locale whose decimal mark is a comma must change nothing.
    const char* locales[] = {"de_DE.UTF-8", "de_DE", "fr_FR.UTF-8", "C.UTF-8"};
    std::string strOld = std::setlocale(LC_ALL, nullptr);
    for (const char* pszLocale : locales) {
        if (std::setlocale(LC_ALL, pszLocale))
            break;
    }
    float f = 0;
    EXPECT_TRUE(ScanFloat(" 2.20", &f));
    EXPECT_FLOAT_EQ(f, 2.2f);
    EXPECT_EQ(FormatFixed2(2.2), "2.20");
    EXPECT_EQ(FormatFixed2(2.35f), "2.35");
    SVersion t;
    t.surface.m_answers = {kAnswerNo};
    EXPECT_EQ(t.Check("VER 2.21"), 0);
    EXPECT_NE(t.surface.LastMessage().find("(2.21).\r\n"), std::string::npos);
    std::setlocale(LC_ALL, strOld.c_str());
}

TEST(VersionRule, FloatReading)
{
    struct SCase
    {
        const char* pszText;
        bool bRead;
        float fValue;
    };
    const SCase cases[] = {
        {"2.5", true, 2.5f},      {"  +2.5e1x", true, 25.0f}, {"1e", true, 1.0f},
        {"1e+", true, 1.0f},      {".5", true, 0.5f},         {"5.", true, 5.0f},
        {"-0.25", true, -0.25f},  {".", false, 0},            {"e5", false, 0},
        {"-", false, 0},          {"inf", false, 0},          {"nan", false, 0},
        {"", false, 0},           {"1e-60", true, 0.0f},      {"1E-400", true, 0.0f},
        {"123456e-999", true, 0.0f}, {"0.0001e39", true, 1e35f},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszText);
        float f = -99;
        EXPECT_EQ(ScanFloat(c.pszText, &f), c.bRead);
        if (c.bRead) {
            EXPECT_FLOAT_EQ(f, c.fValue);
        }
    }
    float f = 0;
    for (const char* pszHuge : {"1e60", "0.001e42", "1E400"}) {
        EXPECT_TRUE(ScanFloat(pszHuge, &f));
        EXPECT_TRUE(std::isinf(f)) << pszHuge;
    }
}

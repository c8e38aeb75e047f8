// Console lines on virtual time: the reply deadline, line ends, the 127
// character limit, pacing and draining.
#include "serial/Console.h"
#include "support/Rig.h"

#include <gtest/gtest.h>

namespace {

struct SLine : SRig
{
    explicit SLine(uint32_t nStartTick = 0) : SRig(SSimConfig(), nullptr, nStartTick)
    {
        port.Open("COM5", 921600, 2000);
        port.SetTimeouts(1);
        model.Config().bSilent = true; // only what a test injects
    }
    // The unit sends these bytes at the given millisecond.
    void Send(const std::string& s, uint64_t nMs = 0) { model.Inject(s, nMs * 1000); }
    bool Read()
    {
        std::memset(szLine, 'x', sizeof szLine);
        nStart = clock.Now();
        bool b = ReadReplyLine(&port, szLine, 128, &nSeen, clock);
        nElapsed = clock.Now() - nStart;
        return b;
    }
    int NextByte()
    {
        char c;
        return port.Read(&c, 1) ? static_cast<unsigned char>(c) : -1;
    }

    CCommPort port{&driver};
    char szLine[128];
    int nSeen = -1;
    uint64_t nStart = 0;
    uint64_t nElapsed = 0;
};

} // namespace

TEST(ReplyLine, LineEnds)
{
    {
        SLine t;
        t.Send("\r\nABC\r\n");
        EXPECT_TRUE(t.Read());
        EXPECT_STREQ(t.szLine, "ABC");
        EXPECT_EQ(t.nSeen, 6);
        EXPECT_EQ(t.NextByte(), '\n'); // the LF behind the CR stays in the port
    }
    {
        SLine t;
        t.Send("A\nB\r");
        EXPECT_TRUE(t.Read());
        EXPECT_STREQ(t.szLine, "AB");
        EXPECT_EQ(t.nSeen, 4);
    }
    {
        // A zero byte is stored like any other; as text the line ends there.
        SLine t;
        t.Send(std::string("AB\0CD\r", 6));
        EXPECT_TRUE(t.Read());
        EXPECT_EQ(std::string(t.szLine, 6), std::string("AB\0CD\0", 6));
    }
}

TEST(ReplyLine, DeadlineOfTwoSeconds)
{
    {
        // Silence: empty, false, nothing seen, at most one poll and one empty read late.
        SLine t;
        EXPECT_FALSE(t.Read());
        EXPECT_STREQ(t.szLine, "");
        EXPECT_EQ(t.nSeen, 0);
        EXPECT_GT(t.nElapsed, 2000u);
        EXPECT_LE(t.nElapsed, 2000u + 50 + 2 + 2);
    }
    {
        // Only line ends, then silence: an empty line is never returned.
        SLine t;
        t.Send("\r\n\r\n");
        EXPECT_FALSE(t.Read());
        EXPECT_STREQ(t.szLine, "");
        EXPECT_EQ(t.nSeen, 4);
    }
    {
        // Characters without their CR count as the line.
        SLine t;
        t.Send("ZT9047Q");
        EXPECT_FALSE(t.Read());
        EXPECT_STREQ(t.szLine, "ZT9047Q");
    }
    {
        // Bytes arriving do not move the deadline: a line that completes at
        // 1990 ms is in, one that starts after the deadline is not.
        SLine t;
        t.Send("A", 1000);
        t.Send("B\r", 1990);
        EXPECT_TRUE(t.Read());
        EXPECT_STREQ(t.szLine, "AB");
        SLine u;
        u.Send("late\r", 2100);
        EXPECT_FALSE(u.Read());
        EXPECT_STREQ(u.szLine, "");
        // A byte just before the deadline does not extend it.
        SLine v;
        v.Send("A", 1900);
        v.Send("B\r", 2200);
        EXPECT_FALSE(v.Read());
        EXPECT_STREQ(v.szLine, "A");
    }
}

TEST(ReplyLine, DeadlineIsStrict)
{
    // With reads that cost nothing the clock is looked at exactly every
    // 50 ms: at 2000 ms the wait still polls once more, at 2050.
    SLine t;
    t.port.SetTimeouts(0);
    t.Send("OK\r", 2020);
    EXPECT_TRUE(t.Read());
    EXPECT_STREQ(t.szLine, "OK");
    EXPECT_EQ(t.nElapsed, 2050u);
}

TEST(ReplyLine, DeadlineSurvivesTheTickCounterWrap)
{
    SLine t(0xFFFFFFFFu - 500);
    EXPECT_FALSE(t.Read());
    EXPECT_GT(t.nElapsed, 2000u);
    EXPECT_LT(t.nElapsed, 2100u);
}

TEST(ReplyLine, StoresAtMost127Characters)
{
    SLine t;
    t.Send(std::string(200, 'Q') + "\r");
    EXPECT_TRUE(t.Read());
    EXPECT_EQ(std::string(t.szLine), std::string(127, 'Q'));
    EXPECT_EQ(t.nSeen, 201);
}

TEST(ReplyLine, PortThatIsNotOpen)
{
    SLine t;
    t.port.Close();
    t.Send("ABCDEF\r");
    EXPECT_FALSE(t.Read());
    EXPECT_STREQ(t.szLine, "");
    EXPECT_EQ(t.nSeen, 0);
}

TEST(Console, PacedTextWaitsBeforeEveryByte)
{
    SLine t;
    uint64_t nStart = t.clock.Now();
    SendText(&t.port, "BOOT 1\r\n", true, t.clock);
    const std::vector<CInstrumentModel::SReceived>& r = t.model.Received();
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[0].nUs / 1000, nStart + 50);
    for (size_t i = 1; i < r.size(); ++i)
        EXPECT_EQ(r[i].nUs - r[i - 1].nUs, 50000u);
    EXPECT_EQ(t.clock.Now() - nStart, 400u); // no pause after the last byte
    EXPECT_EQ(t.Received(), "BOOT 1\r\n");

    // Unpaced: single-byte writes back to back.
    t.driver.m_writeSizes.clear();
    SendText(&t.port, "\r\n", false, t.clock);
    EXPECT_EQ(t.driver.m_writeSizes, (std::vector<uint32_t>{1, 1}));
    EXPECT_EQ(t.clock.Now() - nStart, 400u);
}

TEST(Console, DrainLeavesShortTimeouts)
{
    SLine t;
    t.port.SetTimeouts(4000);
    uint64_t nStart = t.clock.Now();
    int nReads = t.driver.m_nReads;
    DrainInput(&t.port, t.clock);
    EXPECT_EQ(t.driver.m_nReads - nReads, 1);
    EXPECT_EQ(t.driver.m_nTimeout, 1u);
    EXPECT_EQ(t.clock.Now() - nStart, 2u);

    // Pending bytes go; later ones stay.
    t.Send("junk\r\n");
    t.Send("Z", 100);
    DrainInput(&t.port, t.clock);
    t.clock.Advance(200);
    EXPECT_EQ(t.NextByte(), 'Z');
}

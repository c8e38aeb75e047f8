// Download on virtual time: the port name, the wake-up, the two branches,
// the words and pauses the unit receives, and the wait for the sign.
#include "support/Rig.h"
#include "BuildVersion.h"

#include <gtest/gtest.h>

namespace {

const char kDidNotRespond[] = "ZT9047Q did not respond.";
const char kBootloaderSilent[] = "ZT9047Q bootloader not responding.";

// The handler left the window idle and the port released.
void ExpectReset(SRig& rig)
{
    EXPECT_EQ(rig.Dlg().m_nTransferState, 0);
    EXPECT_EQ(rig.Dlg().m_pPort, nullptr);
    EXPECT_EQ(rig.driver.m_nOpenHandles, 0);
    EXPECT_TRUE(rig.surface.m_bDownloadEnabled);
    EXPECT_EQ(rig.surface.m_nProgress, 0);
    EXPECT_EQ(rig.surface.m_strStatus, "Waiting to download...");
}

// A unit in its bootloader on a line whose reads cost no time: it answers
// the wake-up with " BOOT>" and sends its sign at a set moment, so the wait
// for the sign looks at the clock exactly every 50 ms.
class CInstantLine : public ICommDriver
{
public:
    CInstantLine(CVirtualClock& clock, uint64_t nSignAtMs) : m_clock(clock), m_nSignAtMs(nSignAtMs) {}
    ICommHandle* OpenDevice(const char*) override { return new CHandle(*this); }

private:
    class CHandle : public ICommHandle
    {
    public:
        explicit CHandle(CInstantLine& line) : m_line(line) {}
        bool SetQueues(uint32_t, uint32_t) override { return true; }
        bool SetLine(uint32_t) override { return true; }
        bool SetReadTimeouts(uint32_t, uint32_t, uint32_t) override { return true; }
        bool ReadBytes(void* pBuffer, uint32_t, uint32_t* pnRead) override
        {
            std::string& s = m_line.m_strPending;
            if (s.empty() && m_line.m_clock.Now() >= m_line.m_nSignAtMs && !m_line.m_bSignSent) {
                m_line.m_bSignSent = true;
                s = "B";
            }
            *pnRead = s.empty() ? 0 : 1;
            if (!s.empty()) {
                *static_cast<char*>(pBuffer) = s[0];
                s.erase(0, 1);
            }
            return true;
        }
        bool WriteBytes(const void* pBuffer, uint32_t nCount, uint32_t* pnWritten) override
        {
            if (*static_cast<const char*>(pBuffer) == '\n')
                m_line.m_strPending = " BOOT>\r";
            *pnWritten = nCount;
            return true;
        }

    private:
        CInstantLine& m_line;
    };

    CVirtualClock& m_clock;
    uint64_t m_nSignAtMs;
    bool m_bSignSent = false;
    std::string m_strPending;
};

} // namespace

TEST(Handshake, PortNamesAndTheFailedOpen)
{
    {
        SRig rig;
        rig.driver.SetName("COM9");
        rig.surface.m_nCom = 9;
        rig.Dlg().OnDownload();
        EXPECT_EQ(rig.driver.m_strLastName, "COM9");
        EXPECT_EQ(rig.driver.m_nBaud, 921600u);
    }
    {
        // From 10 on the long name; the message names the plain number.
        SRig rig;
        rig.surface.m_nCom = 10;
        rig.Dlg().OnDownload();
        EXPECT_EQ(rig.driver.m_strLastName, "\\\\.\\COM10");
        ASSERT_EQ(rig.surface.m_messages.size(), 1u);
        EXPECT_EQ(rig.surface.m_messages[0], "Error: COM10 in use or does not exist.");
        EXPECT_EQ(rig.surface.m_types[0], kMsgOk);

        // Nothing else happened: no status, no reset, the closed port kept.
        for (const SSurfaceCall& call : rig.surface.m_calls) {
            EXPECT_NE(call.eKind, SSurfaceCall::kStatus);
            EXPECT_NE(call.eKind, SSurfaceCall::kEnable);
            EXPECT_NE(call.eKind, SSurfaceCall::kProgress);
        }
        CCommPort* pKept = rig.Dlg().m_pPort;
        ASSERT_NE(pKept, nullptr);
        EXPECT_FALSE(pKept->IsOpen());
        EXPECT_EQ(rig.Dlg().m_nOffset, 9);

        // The next click reuses the same object.
        rig.Dlg().OnDownload();
        EXPECT_EQ(rig.Dlg().m_pPort, pKept);
        EXPECT_EQ(rig.driver.m_nOpens, 2);
        EXPECT_EQ(rig.Received(), "");
    }
}

TEST(Handshake, ComNumbersOutsideTheRangeOpenNothing)
{
    for (int nCom : {0, -1, 257, 0x10005}) {
        SCOPED_TRACE(nCom);
        SRig rig;
        rig.surface.m_nCom = nCom;
        rig.Dlg().OnDownload();
        EXPECT_EQ(rig.driver.m_nOpens, 0);
        EXPECT_EQ(rig.surface.LastMessage(), texts::kBadComNumber);
        EXPECT_NE(rig.surface.LastMessage().find("1 and 256"), std::string::npos);
    }
}

TEST(Handshake, WakeUpReplyNeedsFiveCharacters)
{
    {
        SSimConfig c;
        c.strWakeReply = "ABCD\r\n";
        SRig rig(c);
        rig.Dlg().OnDownload();
        EXPECT_EQ(rig.surface.LastMessage(), kDidNotRespond);
        ExpectReset(rig);
        EXPECT_EQ(rig.Received(), "\r\n");
    }
    {
        SSimConfig c;
        c.bSilent = true;
        SRig rig(c);
        rig.Dlg().OnDownload();
        EXPECT_EQ(rig.surface.LastMessage(), kDidNotRespond);
        ExpectReset(rig);
    }
    {
        // Five characters without a CR, at the deadline: judged like a line.
        SSimConfig c;
        c.strWakeReply = "ABCDE";
        SRig rig(c);
        rig.Dlg().OnDownload();
        EXPECT_EQ(rig.Dlg().m_nTransferState, 1);
        EXPECT_EQ(rig.Received().substr(0, 8), "\r\nBOOT\r\n");
    }
}

TEST(Handshake, BootloaderBranch)
{
    // "BOOT" after the first character, in any case: one 0x42 and the wait,
    // no version rule even for a version it would refuse.
    SSimConfig c;
    c.bStartInBootloader = true;
    c.strWakeReply = "zt9047q boot VER 1.00\r\n";
    SRig rig(c);
    rig.Dlg().OnDownload();
    EXPECT_EQ(rig.Received(), "\r\nB");
    EXPECT_TRUE(rig.surface.m_messages.empty());
    EXPECT_EQ(rig.Dlg().m_nTransferState, 1);
    EXPECT_FALSE(rig.surface.m_bDownloadEnabled);
    EXPECT_EQ(rig.surface.m_strStatus, "Downloading new firmware...");
    EXPECT_EQ(rig.Dlg().m_nImageLength, ZT_FIRMWARE_BYTES);
    EXPECT_EQ(rig.Dlg().m_nOffset, 0);
    EXPECT_EQ(rig.surface.m_nProgress, 0);
    // From the sign to the return: the 100 ms pause only.
    uint64_t nSign = rig.model.Received().back().nUs / 1000;
    EXPECT_EQ(rig.clock.Now() - nSign, 100u);
    rig.RunTicks();
    EXPECT_EQ(rig.surface.LastMessage(), "ZT9047Q firmware updated to version " ZT_FIRMWARE_VERSION_TEXT);
}

TEST(Handshake, ApplicationBranchWordsAndPauses)
{
    SRig rig; // a unit at 2.10 running its application
    std::vector<std::string> statuses;
    rig.Dlg().OnDownload();
    for (const SSurfaceCall& call : rig.surface.m_calls) {
        if (call.eKind == SSurfaceCall::kStatus)
            statuses.push_back(call.strText);
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{"Communicating with ZT9047Q", "Entering bootloader...",
                                                  "Initializing bootloader...", "Downloading new firmware..."}));
    ASSERT_EQ(rig.Dlg().m_nTransferState, 1);
    EXPECT_TRUE(rig.surface.m_messages.empty());

    const std::vector<CInstrumentModel::SReceived>& r = rig.model.Received();
    EXPECT_EQ(rig.Received(), "\r\nBOOT\r\n#\r\nBOOT 1\r\n");
    ASSERT_EQ(r.size(), 19u);
    // "\r\n" and "BOOT\r\n" unpaced: the bytes of each word leave together.
    EXPECT_EQ(r[1].nUs, r[0].nUs);
    EXPECT_EQ(r[7].nUs, r[2].nUs);
    // "#\r\n" paced: 50 ms before each byte, the first after the reply line.
    EXPECT_GE(r[8].nUs - r[7].nUs, 50000u);
    EXPECT_EQ(r[9].nUs - r[8].nUs, 50000u);
    EXPECT_EQ(r[10].nUs - r[9].nUs, 50000u);
    // 1000 ms of silence, then "BOOT 1\r\n" paced.
    EXPECT_EQ(r[11].nUs - r[10].nUs, 1050000u);
    for (size_t i = 12; i < 19; ++i)
        EXPECT_EQ(r[i].nUs - r[i - 1].nUs, 50000u);

    // 2000 ms after the last word the wait begins; the sign (restart 300 ms)
    // is already there; then 100 ms and, on this branch, 500 ms more.
    uint64_t nLastWord = r[18].nUs / 1000;
    EXPECT_EQ(rig.clock.Now() - nLastWord, 2000u + 100 + 500);

    // Nothing more reaches the unit until the first frame.
    rig.Dlg().OnTimer(1);
    EXPECT_EQ(rig.model.Received().size(), 19u + 532);
}

TEST(Handshake, ReplyBeginningWithBootIsTheApplication)
{
    SSimConfig c;
    c.strWakeReply = "BOOTED ZT9047Q VER 1.50\r\n";
    SRig rig(c);
    rig.Dlg().OnDownload();
    EXPECT_EQ(rig.surface.LastMessage(), "Can not upgrade the ZT9047Q's firmware with this bootloader.");
    // The rule said stop: nothing after the wake-up, no message of the handshake.
    EXPECT_EQ(rig.surface.m_messages.size(), 1u);
    EXPECT_EQ(rig.Received(), "\r\n");
    ExpectReset(rig);
}

TEST(Handshake, DowngradeAnsweredNoSendsNothingMore)
{
    SSimConfig c;
    c.strVersion = "2.35";
    SRig rig(c);
    rig.surface.m_answers = {kAnswerNo};
    rig.Dlg().OnDownload();
    EXPECT_EQ(rig.surface.m_messages.size(), 1u);
    EXPECT_EQ(rig.surface.m_types[0], kMsgWarningQuestion);
    EXPECT_EQ(rig.Received(), "\r\n");
    ExpectReset(rig);
}

TEST(Handshake, WaitForTheSign)
{
    {
        // A silent bootloader fails a little after 3000 ms.
        SSimConfig c;
        c.bNoSign = true;
        SRig rig(c);
        uint64_t nAtMessage = 0;
        rig.surface.m_onMessage = [&](const std::string&, unsigned) { nAtMessage = rig.clock.Now(); };
        rig.Dlg().OnDownload();
        EXPECT_EQ(rig.surface.LastMessage(), kBootloaderSilent);
        ExpectReset(rig);
        // The wait starts 2000 ms after the last word; the restart chatter
        // (until about 50 ms after "BOOT 1") is read before it.
        uint64_t nWaitStart = rig.model.Received().back().nUs / 1000 + 2000;
        EXPECT_GT(nAtMessage - nWaitStart, 3000u);
        EXPECT_LE(nAtMessage - nWaitStart, 3000u + 52 + 2);
    }
    {
        // Every other byte starts the 3000 ms anew: bytes every 2.5 s for
        // 10 s keep the wait going, and the sign after them ends it.
        SSimConfig c;
        c.bStartInBootloader = true;
        c.bNoSign = true;
        SRig rig(c);
        for (int i = 1; i <= 4; ++i)
            rig.model.Inject("x", (100 + 2500ull * i) * 1000);
        rig.model.Inject("B", 12500ull * 1000);
        rig.Dlg().OnDownload();
        EXPECT_TRUE(rig.surface.m_messages.empty());
        EXPECT_EQ(rig.Dlg().m_nTransferState, 1);
        EXPECT_GE(rig.clock.Now(), 12500u);
    }
    {
        // The deadline is strict: at exactly 3000 ms the wait polls once
        // more, and a sign at 3020 ms is in time.
        CVirtualClock clock;
        CFakeSurface surface;
        surface.m_nCom = 5;
        CInstantLine line(clock, 3020);
        std::unique_ptr<CUpdateDlgDlg> pDlg(new CUpdateDlgDlg(surface, clock, &line));
        pDlg->OnDownload();
        EXPECT_TRUE(surface.m_messages.empty());
        EXPECT_EQ(pDlg->m_nTransferState, 1);
    }
}

TEST(Handshake, WrapOfTheTickCounterDoesNotShortenWaits)
{
    SSimConfig c;
    c.bNoSign = true;
    c.bStartInBootloader = true;
    SRig rig(c, nullptr, 0xFFFFFFFFu - 1000);
    rig.Dlg().OnDownload();
    EXPECT_EQ(rig.surface.LastMessage(), kBootloaderSilent);
    EXPECT_GT(rig.clock.Now(), 3000u);
}

TEST(Handshake, CancelledClockEndsItAtOnceWithNothingMoreSent)
{
    // When each word goes out on a run that is not cancelled.
    SSimConfig c;
    c.bNoSign = true;
    SRig ref(c);
    ref.Dlg().OnDownload();
    std::string strSent = ref.Received();
    auto msAt = [&](size_t nIndex) { return ref.model.Received()[nIndex].nUs / 1000; };
    uint64_t nHash = msAt(strSent.find("#\r\n") + 2);
    uint64_t nBoot1 = msAt(strSent.find("BOOT 1"));
    uint64_t nBoot1End = msAt(strSent.size() - 1);

    struct SCase
    {
        const char* pszWhere;
        uint32_t nReplyDelayMs;
        uint64_t nCancelAt;
        bool bToldBootloader;
        uint64_t nLineEnd; // a line under way is finished, never cut (0: none)
    };
    const SCase kCases[] = {
        {"the wake-up reply wait", 1500, 500, false, 0},
        {"the 1 s pause", 0, nHash + 500, false, 0},
        {"between the bytes of BOOT 1", 0, nBoot1 + 120, true, nBoot1End},
        {"the 2 s pause", 0, nBoot1End + 1000, true, 0},
        {"the wait for the sign", 0, nBoot1End + 3500, true, 0},
    };
    for (const SCase& k : kCases) {
        SCOPED_TRACE(k.pszWhere);
        SSimConfig cc = c;
        cc.nReplyDelayMs = k.nReplyDelayMs;
        SRig rig(cc);
        rig.clock.CancelAt(k.nCancelAt);
        rig.Dlg().OnDownload();
        EXPECT_EQ(rig.Dlg().LastEnd(), kEndInterrupted);
        EXPECT_EQ(rig.Dlg().UnitToldBootloader(), k.bToldBootloader);
        EXPECT_TRUE(rig.surface.m_messages.empty());
        ExpectReset(rig);
        uint64_t nQuietFrom = k.nLineEnd ? k.nLineEnd + 1 : k.nCancelAt;
        EXPECT_LE(rig.clock.Now(), nQuietFrom + 5); // no wait runs on
        for (const CInstrumentModel::SReceived& r : rig.model.Received())
            EXPECT_LT(r.nUs, nQuietFrom * 1000) << "sent after the cancellation: " << r.by;
        EXPECT_EQ(rig.Received().back(), '\n');
    }
}

TEST(Handshake, SimulatedUnitPlaysOneRunAfterAnother)
{
    SSimConfig c;
    c.nImageBytes = static_cast<uint32_t>(PackagedImage().size());
    SRig rig(c);
    // Updated, it restarts into 2.20: the next Download goes ahead.
    for (int nRun = 0; nRun < 2; ++nRun) {
        rig.Dlg().OnDownload();
        rig.RunTicks();
        EXPECT_EQ(rig.Dlg().LastEnd(), kEndCompleted);
        EXPECT_FLOAT_EQ(rig.Dlg().UnitVersion(), nRun == 0 ? 2.10f : 2.20f);
    }
    // Stopped mid-stream, it waits in its bootloader, where the next run
    // finds it and finishes the update.
    rig.Dlg().OnDownload();
    rig.RunTicks(20);
    rig.Dlg().Interrupt();
    rig.Dlg().OnDownload();
    EXPECT_FALSE(rig.Dlg().UnitVersionKnown());
    rig.RunTicks();
    EXPECT_EQ(rig.Dlg().LastEnd(), kEndCompleted);
    EXPECT_EQ(rig.model.UpdatesCompleted(), 3);
    EXPECT_EQ(rig.model.AcceptedImage(), PackagedImage());
}

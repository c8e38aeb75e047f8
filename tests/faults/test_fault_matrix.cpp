// The fault matrix on virtual time: a whole update against the simulated
// unit with one thing going wrong, and each run must end as the system says,
// within its time limits, with the port released and nothing sent after.
#include "FaultChecks.h"
#include "serial/Console.h"

#include <climits>

namespace {

SSimConfig App(const std::string& strVersion = "2.10")
{
    SSimConfig c;
    c.strVersion = strVersion;
    return c;
}

SSimConfig Boot()
{
    SSimConfig c;
    c.bStartInBootloader = true;
    return c;
}

int FrameStart(int nFrame)
{
    return SPackagedImage::Get().frameStarts[static_cast<size_t>(nFrame)];
}

// The pauses of the application branch: paced "#\r\n" and "BOOT 1\r\n",
// 1000 and 2000 ms, 100 ms after the sign and 500 ms before returning.
const uint64_t kAppPausesMs = 150 + 1000 + 400 + 2000 + 100 + 500;
// From the click to the start of the wait for the sign on that branch.
const uint64_t kAppToSignWaitMs = 150 + 1000 + 400 + 2000;
const uint64_t kSignWaitLimitMs = CUpdateDlgDlg::kSignWaitLimitMs;

} // namespace

// ---- the healthy runs the faults are measured against ----------------------

TEST(FaultMatrix, HealthyApplicationUnitIsUpdatedOnTheExpectedTimeline)
{
    SFaultRig rig(App());
    rig.Download();
    ASSERT_EQ(rig.Dlg().m_nTransferState, 1);
    uint64_t nHandshake = rig.nDownloadEndMs - rig.nDownloadAtMs;
    EXPECT_GE(nHandshake, kAppPausesMs);
    EXPECT_LE(nHandshake, kAppPausesMs + 100);
    EXPECT_EQ(rig.Ticks(), SPackagedImage::Get().Frames()); // one frame per tick, no repeats
    EXPECT_LE(rig.nLongestTickMs, 10u);
    ExpectCompleted(rig);
    EXPECT_EQ(rig.model.ConsoleText(), "\r\nBOOT\r\n#\r\nBOOT 1\r\n");
}

TEST(FaultMatrix, UnitAlreadyInItsBootloaderSkipsTheVersionRuleAndTheWords)
{
    // Even a version that would ask for a downgrade plays no part here.
    SSimConfig c = Boot();
    c.strVersion = "9.99";
    SFaultRig rig(c);
    rig.Download();
    ASSERT_EQ(rig.Dlg().m_nTransferState, 1);
    EXPECT_LE(rig.nDownloadEndMs - rig.nDownloadAtMs, 200u); // 100 ms after the sign, no 500
    EXPECT_EQ(rig.model.ConsoleText(), "\r\nB");
    rig.Ticks();
    ExpectCompleted(rig);
    EXPECT_EQ(rig.marks.size(), 1u); // no question
}

TEST(FaultMatrix, ClockAboutToWrapChangesNothing)
{
    SFaultRig rig(App(), 0xFFFFFFFFu - 3000u);
    rig.Download();
    EXPECT_GE(rig.nDownloadEndMs - rig.nDownloadAtMs, kAppPausesMs);
    rig.Ticks();
    ExpectCompleted(rig);

    // And a silent unit near the wrap still gets its full two seconds.
    SSimConfig c = App();
    c.bSilent = true;
    SFaultRig silent(c, 0xFFFFFFFFu - 1000u);
    silent.Run();
    ExpectEndedIdle(silent, kDidNotRespondText);
    EXPECT_GT(silent.LastMark()->nAtMs, 2000u);
    EXPECT_LE(silent.LastMark()->nAtMs, 2000u + 120u);
}

// ---- the console and the handshake -----------------------------------------

TEST(FaultMatrix, SilentUnitFailsTheWakeUpAfterItsDeadline)
{
    SSimConfig c = App();
    c.bSilent = true;
    SFaultRig rig(c);
    rig.Run();
    ExpectEndedIdle(rig, kDidNotRespondText);
    uint64_t nAt = rig.LastMark()->nAtMs - rig.nDownloadAtMs;
    EXPECT_GT(nAt, 2000u);
    EXPECT_LE(nAt, 2000u + 60u); // at most one poll pause and one empty read late
    EXPECT_EQ(rig.ReceivedText(), "\r\n");
}

TEST(FaultMatrix, ShortWakeUpReplyFails)
{
    SSimConfig c = App();
    c.bShortReply = true;
    SFaultRig rig(c);
    rig.Run();
    ExpectEndedIdle(rig, kDidNotRespondText);
    EXPECT_EQ(rig.ReceivedText(), "\r\n");
}

TEST(FaultMatrix, LateReplyInsideTheDeadlineGoesOnOutsideItFails)
{
    SSimConfig c = App();
    c.nReplyDelayMs = 1900;
    SFaultRig inTime(c);
    inTime.Run();
    ExpectCompleted(inTime);

    c.nReplyDelayMs = 2150;
    SFaultRig late(c);
    late.Run();
    ExpectEndedIdle(late, kDidNotRespondText);
    EXPECT_LE(late.LastMark()->nAtMs - late.nDownloadAtMs, 2000u + 60u);
}

TEST(FaultMatrix, ReplyOf200CharactersIsCutTo127AndTheRunGoesOn)
{
    // The version stands within the first 127 characters: read as usual.
    SFaultRig rig(App("2.10 " + std::string(180, 'x')));
    rig.Run();
    ExpectCompleted(rig);

    // A version beyond the 127 stored characters is never seen, so a unit
    // that reports 9.99 out there is not asked about: it is updated.
    SFaultRig far(App(std::string(150, ' ') + "9.99"));
    far.Run();
    ExpectCompleted(far);
    EXPECT_EQ(far.marks.size(), 1u);
}

TEST(FaultMatrix, ReplyWithAZeroByteEndsAsTextAtTheZero)
{
    // "...VER \0 9.99": as text the line ends before the number, so there is
    // no version and no downgrade question.
    SFaultRig rig(App(std::string("\0 9.99", 6)));
    rig.Run();
    ExpectCompleted(rig);
    EXPECT_EQ(rig.marks.size(), 1u);
}

TEST(FaultMatrix, LineEndsLostOnTheWireEveryLineEndsAtItsDeadline)
{
    SFaultRig rig(App());
    rig.driver.m_bDropCR = true;
    rig.Download();
    ASSERT_EQ(rig.Dlg().m_nTransferState, 1) << ::testing::PrintToString(rig.Messages());
    // Two reply lines, each waited out to its deadline.
    EXPECT_GE(rig.nDownloadEndMs - rig.nDownloadAtMs, kAppPausesMs + 2 * 2000u);
    EXPECT_LE(rig.nDownloadEndMs - rig.nDownloadAtMs, kAppPausesMs + 2 * 2000u + 300u);
    rig.Ticks();
    ExpectCompleted(rig);
}

TEST(FaultMatrix, ReplyThatNeverEndsItsLineCannotHoldTheWindow)
{
    // After the wake-up the unit sends letters every 5 ms for ever: the reply
    // line, the drain, the second reply and the sign wait all give up.
    SFaultRig rig(App());
    rig.driver.m_nBabbleAfterWrites = 2;
    rig.Run();
    ExpectEndedIdle(rig, kBootloaderSilentText);
    uint64_t nAt = rig.LastMark()->nAtMs - rig.nDownloadAtMs;
    uint64_t nLimit = console::kReplyHardLimitMs * 2 + console::kDrainLimitMs + kAppToSignWaitMs
                      + kSignWaitLimitMs;
    EXPECT_GE(nAt, kSignWaitLimitMs);
    EXPECT_LE(nAt, nLimit + 500u);
    // It was asked for its bootloader all the same, and nothing followed.
    EXPECT_EQ(rig.model.ConsoleText(), "\r\nBOOT\r\n#\r\nBOOT 1\r\n");
}

TEST(FaultMatrix, UnitSendingNothingButLineEndsCannotHoldTheWindow)
{
    // Only CRs, 1 ms apart, for ever: every one is an empty line that is
    // skipped, so only the hard limit ends each reply wait.
    SFaultRig rig(App());
    rig.driver.m_nBabbleAfterWrites = 2;
    rig.driver.m_strBabble = "\r";
    rig.driver.m_nBabbleGapMs = 1;
    rig.Run();
    ExpectEndedIdle(rig, kDidNotRespondText);
    uint64_t nAt = rig.LastMark()->nAtMs - rig.nDownloadAtMs;
    EXPECT_GT(nAt, console::kReplyHardLimitMs);
    EXPECT_LE(nAt, console::kReplyHardLimitMs + 20u);
}

TEST(FaultMatrix, RepeatingUnitEndsByTheSignWaitLimit)
{
    // A unit that repeats its whole line: lines complete, but the sign never
    // comes and the other bytes keep the 3 s deadline fresh.
    SFaultRig rig(App());
    rig.driver.m_nBabbleAfterWrites = 2;
    rig.driver.m_strBabble = "ZT9047Q Field Unit VER 2.10\r\n";
    rig.driver.m_nBabbleGapMs = 1;
    rig.Run();
    ExpectEndedIdle(rig, kBootloaderSilentText);
    uint64_t nAt = rig.LastMark()->nAtMs - rig.nDownloadAtMs;
    EXPECT_GE(nAt, kAppToSignWaitMs + kSignWaitLimitMs);
    EXPECT_LE(nAt, kAppToSignWaitMs + kSignWaitLimitMs + console::kDrainLimitMs + 500u);
}

TEST(FaultMatrix, NoSignFailsThreeSecondsAfterTheWaitBegan)
{
    SSimConfig c = Boot();
    c.bNoSign = true;
    SFaultRig rig(c);
    rig.Run();
    ExpectEndedIdle(rig, kBootloaderSilentText);
    uint64_t nAt = rig.LastMark()->nAtMs - rig.nDownloadAtMs;
    EXPECT_GT(nAt, 3000u);
    EXPECT_LE(nAt, 3000u + 80u);
    EXPECT_EQ(rig.ReceivedText(), "\r\nB");

    SSimConfig a = App();
    a.bNoSign = true;
    SFaultRig app(a);
    app.Run();
    ExpectEndedIdle(app, kBootloaderSilentText);
    nAt = app.LastMark()->nAtMs - app.nDownloadAtMs;
    EXPECT_GT(nAt, kAppToSignWaitMs + 3000u);
    EXPECT_LE(nAt, kAppToSignWaitMs + 3000u + 120u);
}

TEST(FaultMatrix, FloodDuringTheSignWaitEndsAtTheOverallLimit)
{
    // A byte every 100 ms keeps restarting the 3 s deadline; only the
    // overall limit ends the wait.
    SSimConfig c = App();
    c.bFloodInsteadOfSign = true;
    SFaultRig rig(c);
    rig.Run();
    ExpectEndedIdle(rig, kBootloaderSilentText);
    uint64_t nAt = rig.LastMark()->nAtMs - rig.nDownloadAtMs;
    EXPECT_GT(nAt, kAppToSignWaitMs + kSignWaitLimitMs);
    EXPECT_LE(nAt, kAppToSignWaitMs + kSignWaitLimitMs + 200u);

    SSimConfig b = Boot();
    b.bFloodInsteadOfSign = true;
    SFaultRig boot(b);
    boot.Run();
    ExpectEndedIdle(boot, kBootloaderSilentText);
    nAt = boot.LastMark()->nAtMs - boot.nDownloadAtMs;
    EXPECT_GT(nAt, kSignWaitLimitMs);
    EXPECT_LE(nAt, kSignWaitLimitMs + 200u);
}

TEST(FaultMatrix, UnplugDuringTheHandshake)
{
    SSimConfig c = App();
    c.bHangupInHandshake = true;
    SFaultRig rig(c);
    rig.Run();
    ExpectEndedIdle(rig, kBootloaderSilentText);
    uint64_t nAt = rig.LastMark()->nAtMs - rig.nDownloadAtMs;
    EXPECT_LE(nAt, 2000u + kAppToSignWaitMs + 3000u + 200u);
    EXPECT_EQ(rig.model.ConsoleText(), "\r\nBOOT\r\n");
}

// ---- the version rule --------------------------------------------------------

TEST(FaultMatrix, OldFirmwareIsRefused)
{
    SFaultRig rig(App("1.99"));
    rig.Run();
    ExpectEndedIdle(rig, "Can not upgrade the ZT9047Q's firmware with this bootloader.", kMsgWarning);
    EXPECT_EQ(rig.ReceivedText(), "\r\n");
}

TEST(FaultMatrix, DowngradeAnsweredNoSendsNothingMore)
{
    SFaultRig rig(App("2.35"));
    rig.surface.m_answers = {kAnswerNo};
    rig.Run();
    ExpectEndedIdle(rig,
                    "The ZT9047Q is running a newer firmware version(2.35).\r\n"
                    "Are you sure you want to down grade to version 2.20?",
                    kMsgWarningQuestion);
    EXPECT_EQ(rig.marks.size(), 1u);
    EXPECT_EQ(rig.ReceivedText(), "\r\n");
}

TEST(FaultMatrix, DowngradeAnsweredYesAndTheUnitAnswers)
{
    SFaultRig rig(App("2.35"));
    rig.surface.m_answers = {kAnswerYes};
    rig.Run();
    ExpectCompleted(rig);
    ASSERT_EQ(rig.marks.size(), 2u);
    EXPECT_EQ(rig.marks[0].nType, kMsgWarningQuestion);
    EXPECT_EQ(rig.model.ConsoleText(), "\r\n\r\nBOOT\r\n#\r\nBOOT 1\r\n");
}

TEST(FaultMatrix, DowngradeAnsweredYesButTheAnswerLacksTheModel)
{
    SSimConfig c = App("2.35");
    c.bNoModelAfterFirstReply = true;
    SFaultRig rig(c);
    rig.surface.m_answers = {kAnswerYes};
    rig.Run();
    ExpectEndedIdle(rig, kStoppedRespondingText);
    EXPECT_EQ(rig.marks.size(), 2u);
    EXPECT_EQ(rig.ReceivedText(), "\r\n\r\n");
}

TEST(FaultMatrix, DowngradeAnsweredYesButTheUnitWentQuietMeanwhile)
{
    SFaultRig rig(App("2.35"));
    rig.surface.m_answers = {kAnswerYes};
    rig.onMessage = [&](const std::string&, unsigned nType) {
        if (nType == kMsgWarningQuestion)
            rig.model.Config().bSilent = true; // switched off while the box was open
    };
    rig.Run();
    ExpectEndedIdle(rig, kStoppedRespondingText);
    ASSERT_EQ(rig.marks.size(), 2u);
    uint64_t nWait = rig.marks[1].nAtMs - rig.marks[0].nAtMs;
    EXPECT_GT(nWait, 2000u);
    EXPECT_LE(nWait, 2000u + 60u);
    EXPECT_EQ(rig.ReceivedText(), "\r\n\r\n");
}

// ---- the port -----------------------------------------------------------------

TEST(FaultMatrix, PortHeldByAnotherProgramThenReleased)
{
    SFaultRig rig(Boot());
    rig.sim.m_bHeld = true;
    rig.Download();
    ASSERT_EQ(rig.Messages(), std::vector<std::string>{"Error: COM5 in use or does not exist."});
    EXPECT_EQ(rig.marks[0].nType, kMsgOk);
    // The window is left as it was, with the closed port object kept.
    CCommPort* pKept = rig.Dlg().m_pPort;
    ASSERT_NE(pKept, nullptr);
    EXPECT_FALSE(pKept->IsOpen());
    EXPECT_EQ(rig.sim.m_nOpenHandles, 0);
    EXPECT_EQ(rig.Dlg().m_nTransferState, 0);
    EXPECT_TRUE(rig.surface.m_bDownloadEnabled);
    EXPECT_EQ(rig.surface.m_strStatus, "");
    EXPECT_TRUE(rig.model.Received().empty());
    rig.IdleTicks(10);
    EXPECT_TRUE(rig.sim.m_writeSizes.empty());

    // The other program lets go; the next click reuses the object.
    rig.sim.m_bHeld = false;
    bool bSameObject = false;
    rig.onMessage = [&](const std::string&, unsigned) { bSameObject = rig.Dlg().m_pPort == pKept; };
    rig.Run();
    ExpectCompleted(rig);
    EXPECT_TRUE(bSameObject);
}

TEST(FaultMatrix, DriverRefusingTheLineLeavesNothingOpen)
{
    SFaultRig rig(Boot());
    rig.sim.m_bRefuseLine = true;
    rig.Download();
    ASSERT_EQ(rig.Messages(), std::vector<std::string>{"Error: COM5 in use or does not exist."});
    EXPECT_EQ(rig.sim.m_nOpenHandles, 0);
    rig.sim.m_bRefuseLine = false;
    rig.Run();
    ExpectCompleted(rig);
}

TEST(FaultMatrix, ComNumbersThatNameNoPortOpenNothing)
{
    for (int n : {0, -1, 257, INT_MIN, INT_MAX}) {
        SFaultRig rig(Boot());
        rig.surface.m_nCom = n;
        rig.Run();
        EXPECT_EQ(rig.Messages(), std::vector<std::string>{texts::kBadComNumber}) << n;
        EXPECT_EQ(rig.sim.m_nOpens, 0) << n;
        EXPECT_EQ(rig.Dlg().m_nTransferState, 0);
    }
    // A number in range that no device answers to.
    SFaultRig rig(Boot());
    rig.surface.m_nCom = 256;
    rig.Run();
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{"Error: COM256 in use or does not exist."});
    EXPECT_EQ(rig.sim.m_strLastName, "\\\\.\\COM256");
}

// ---- the stream -----------------------------------------------------------------

TEST(FaultMatrix, SilenceAtTheFirstFrame)
{
    SSimConfig c = Boot();
    c.nSilentFrame = 0;
    SFaultRig rig(c);
    rig.Run();
    ExpectEndedIdle(rig, SilenceText(0, 0, 0));
    EXPECT_GE(rig.nLongestTickMs, 8000u);
    EXPECT_LE(rig.nLongestTickMs, 8000u + 10u);
}

TEST(FaultMatrix, SilenceAtAMiddleFrame)
{
    SSimConfig c = Boot();
    c.nSilentFrame = 98;
    SFaultRig rig(c);
    rig.Run();
    ExpectEndedIdle(rig, SilenceText(FrameStart(98), 98, FrameStart(98)));
    EXPECT_EQ(rig.model.FrameSends(), 99);
    EXPECT_LE(rig.nLongestTickMs, 8000u + 10u);
}

TEST(FaultMatrix, ASecondRunInTheSameWindowReportsItsOwnFrames)
{
    SSimConfig c = Boot();
    c.nSilentFrame = 98;
    SFaultRig rig(c);
    rig.Run();
    ExpectEndedIdle(rig, SilenceText(FrameStart(98), 98, FrameStart(98)));
    // The unit is switched off and on; the next run gets no answer at all.
    c.nSilentFrame = 0;
    rig.model = CInstrumentModel(c);
    rig.marks.clear();
    rig.Run();
    ExpectEndedIdle(rig, SilenceText(0, 0, 0));
}

TEST(FaultMatrix, SilenceAtTheLastFrame)
{
    const int nLast = SPackagedImage::Get().Frames() - 1;
    SSimConfig c = Boot();
    c.nSilentFrame = nLast;
    SFaultRig rig(c);
    rig.Run();
    ExpectEndedIdle(rig, SilenceText(FrameStart(nLast), nLast, FrameStart(nLast)));
    EXPECT_FALSE(rig.Dlg().LastRunCompleted());
}

TEST(FaultMatrix, NinetyNineRejectsThenAnAcknowledgeGoesOn)
{
    SSimConfig c = Boot();
    c.nRejectFrame = 5;
    c.nRejectCount = 99;
    SFaultRig rig(c);
    rig.Run();
    ExpectCompleted(rig);
    EXPECT_EQ(rig.model.Rejects(), 99);
    EXPECT_EQ(rig.model.FrameSends(), SPackagedImage::Get().Frames() + 99); // frame 5 went out 100 times
}

TEST(FaultMatrix, HundredRejectsEndTheRun)
{
    SSimConfig c = Boot();
    c.nRejectFrame = 5;
    c.nRejectCount = 100;
    SFaultRig rig(c);
    rig.Run();
    ExpectEndedIdle(rig, RejectsText(FrameStart(5), 5));
    EXPECT_EQ(rig.model.FrameSends(), 5 + 100);

    c.nRejectFrame = 0;
    SFaultRig first(c);
    first.Run();
    ExpectEndedIdle(first, RejectsText(0, 0));
}

TEST(FaultMatrix, AcknowledgeAfterSevenPointNineSecondsGoesOn)
{
    SSimConfig c = Boot();
    c.nAckDelayMs = 7900;
    SFaultRig rig(c);
    rig.Run();
    ExpectCompleted(rig);
    EXPECT_GE(rig.nLongestTickMs, 7900u);
    EXPECT_LE(rig.nLongestTickMs, 7900u + 10u);
}

TEST(FaultMatrix, NoAcknowledgeWithinEightSecondsIsSilence)
{
    SSimConfig c = Boot();
    c.nAckDelayMs = 8100;
    SFaultRig rig(c);
    rig.Run();
    ExpectEndedIdle(rig, SilenceText(0, 0, 0));
    EXPECT_LE(rig.nLongestTickMs, 8000u + 10u);
}

TEST(FaultMatrix, ExtraBytesAfterEachAnswerAreDrainedNotTakenForAnswers)
{
    // The junk holds acknowledge bytes: a frame skipped or doubled would
    // show in the image the unit accepted.
    SSimConfig c = Boot();
    c.nExtraBytes = 7;
    c.nRejectFrame = 3;
    c.nRejectCount = 2;
    SFaultRig rig(c);
    rig.Run();
    ExpectCompleted(rig);
    EXPECT_EQ(rig.model.FrameSends(), SPackagedImage::Get().Frames() + 2);
}

TEST(FaultMatrix, UnitBabblingDuringTheStreamEndsByRejects)
{
    // From the first frame on the unit sends letters without pause: every
    // drain gives up after its limit and every answer is a reject, so the
    // run ends after 100 ticks instead of never.
    SFaultRig rig(Boot());
    rig.driver.m_nBabbleAfterWrites = 3 + SPackagedImage::Get().frameStarts[1]; // "\r\n", 0x42, frame 0
    rig.driver.m_nBabbleGapMs = 1;
    rig.Run();
    ExpectEndedIdle(rig, RejectsText(0, 0));
    EXPECT_EQ(rig.model.FrameSends(), 100);
    EXPECT_LE(rig.nLongestTickMs, console::kDrainLimitMs + 10u);
    EXPECT_LE(rig.LastMark()->nAtMs - rig.nDownloadEndMs, 100u * (console::kDrainLimitMs + 10u));
}

TEST(FaultMatrix, UnplugDuringTheStream)
{
    SSimConfig c = Boot();
    c.nHangupFrame = 50;
    SFaultRig rig(c);
    rig.Run();
    ExpectEndedIdle(rig, SilenceText(FrameStart(50), 50, FrameStart(50)));
    EXPECT_LE(rig.nLongestTickMs, 8000u + 10u);
}

// ---- the window around the stream --------------------------------------------------

TEST(FaultMatrix, CloseQuestionWhileStreamingNoThenYes)
{
    SFaultRig rig(Boot());
    rig.Download();
    rig.Ticks(40);
    ASSERT_EQ(rig.Dlg().m_nTransferState, 1);

    // The transfer goes on underneath the open question.
    int nFramesBefore = rig.model.FramesAccepted();
    rig.onMessage = [&](const std::string&, unsigned nType) {
        if (nType == kMsgStopQuestion)
            rig.Ticks(10);
    };
    rig.surface.m_answers = {kAnswerNo};
    EXPECT_FALSE(rig.Dlg().OnClose());
    EXPECT_EQ(rig.model.FramesAccepted(), nFramesBefore + 10);
    EXPECT_EQ(rig.Dlg().m_nTransferState, 1);
    EXPECT_NE(rig.Dlg().m_pPort, nullptr);

    rig.onMessage = nullptr;
    rig.Ticks(20);
    rig.surface.m_answers = {kAnswerYes};
    size_t nReceived = rig.model.Received().size();
    EXPECT_TRUE(rig.Dlg().OnClose());
    EXPECT_EQ(rig.Dlg().m_nTransferState, 0);
    EXPECT_EQ(rig.Dlg().m_pPort, nullptr);
    EXPECT_EQ(rig.sim.m_nOpenHandles, 0);
    EXPECT_TRUE(rig.surface.m_bDownloadEnabled);
    rig.IdleTicks(20);
    EXPECT_EQ(rig.model.Received().size(), nReceived);
}

TEST(FaultMatrix, TicksWhileAnEndBoxIsOpenDoNothing)
{
    SSimConfig c = Boot();
    c.nRejectFrame = 2;
    c.nRejectCount = 100;
    SFaultRig rig(c);
    size_t nWrites = 0;
    rig.onMessage = [&](const std::string&, unsigned) {
        nWrites = rig.sim.m_writeSizes.size();
        rig.IdleTicks(30); // the box's own message loop
        EXPECT_EQ(rig.sim.m_writeSizes.size(), nWrites);
    };
    rig.Run();
    ExpectEndedIdle(rig, RejectsText(FrameStart(2), 2));
}

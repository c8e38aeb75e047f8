// The frame stream on virtual time: pieces, acknowledges, rejects, silence,
// progress and the three ends.
#include "support/Rig.h"
#include "BuildVersion.h"

#include <gtest/gtest.h>

namespace {

SSimConfig InBootloader()
{
    SSimConfig c;
    c.bStartInBootloader = true;
    return c;
}

const char kSilenceAtStart[] = "Firmware update failed 0 0 0.\rZT9047Q is not responding.";

// Write sizes of the frames, after the one-byte writes of nothing (there are none here).
std::vector<uint32_t> Writes(const SRig& rig)
{
    return rig.driver.m_writeSizes;
}

} // namespace

TEST(Transfer, WholePackagedImageIsAcknowledgedAndReported)
{
    SRig rig(InBootloader());
    bool bStateZeroAtMessage = false;
    rig.surface.m_onMessage = [&](const std::string&, unsigned) {
        bStateZeroAtMessage = rig.Dlg().m_nTransferState == 0;
    };
    rig.StartStreamDirectly();
    ASSERT_EQ(rig.Dlg().m_nTransferState, 1);
    EXPECT_FALSE(rig.surface.m_bDownloadEnabled);
    EXPECT_EQ(rig.Dlg().m_nImageLength, ZT_FIRMWARE_BYTES);

    int nTicks = rig.RunTicks();
    EXPECT_EQ(nTicks, ZT_FIRMWARE_FRAMES); // one frame per tick

    ASSERT_EQ(rig.surface.m_messages.size(), 1u);
    EXPECT_EQ(rig.surface.m_messages[0], "ZT9047Q firmware updated to version " ZT_FIRMWARE_VERSION_TEXT);
    EXPECT_EQ(rig.surface.m_types[0], kMsgOk);
    EXPECT_TRUE(bStateZeroAtMessage);
    EXPECT_EQ(rig.model.AcceptedImage(), PackagedImage());
    EXPECT_TRUE(rig.Dlg().LastRunCompleted());

    // The bar shows the share acknowledged before each frame: never 100.
    EXPECT_EQ(rig.surface.m_nMaxProgress, 99);
    EXPECT_EQ(rig.surface.m_nProgress, 0);
    EXPECT_EQ(rig.surface.m_strStatus, "Waiting to download...");
    EXPECT_TRUE(rig.surface.m_bDownloadEnabled);
    EXPECT_EQ(rig.Dlg().m_pPort, nullptr);
    EXPECT_EQ(rig.driver.m_nOpenHandles, 0);
    // The counters keep the last run's values after the reset.
    EXPECT_EQ(rig.Dlg().m_nBytesSent, ZT_FIRMWARE_BYTES);
    EXPECT_EQ(rig.Dlg().m_nFramesSent, ZT_FIRMWARE_FRAMES);
    EXPECT_EQ(rig.Dlg().m_nOffset, ZT_FIRMWARE_BYTES);
    // Every frame was repainted while it waited for its answer.
    EXPECT_EQ(rig.surface.m_nRepaints, ZT_FIRMWARE_FRAMES);
}

TEST(Transfer, FramesGoOutInPiecesOf64)
{
    {
        // The packaged first frame: L = 530, 532 bytes.
        SRig rig(InBootloader());
        rig.StartStreamDirectly();
        rig.driver.m_writeSizes.clear();
        rig.Dlg().OnTimer(1);
        std::vector<uint32_t> expected(8, 64);
        expected.push_back(20);
        EXPECT_EQ(Writes(rig), expected);
    }
    {
        // Exactly 64 bytes: one write, no empty write after it; L = 0: the header alone.
        CTextResource image(FramesHex({62, 0, 63}));
        SRig rig(InBootloader(), &image);
        rig.StartStreamDirectly();
        rig.driver.m_writeSizes.clear();
        rig.RunTicks();
        EXPECT_EQ(Writes(rig), (std::vector<uint32_t>{64, 2, 64, 1}));
        EXPECT_EQ(rig.surface.LastMessage(), "ZT9047Q firmware updated to version " ZT_FIRMWARE_VERSION_TEXT);
    }
}

TEST(Transfer, RejectsRepeatTheFrameUpToALimit)
{
    {
        // 99 rejects, then the acknowledge: the frame went out 100 times and
        // the run goes on with the count back at 0.
        SSimConfig c = InBootloader();
        c.nRejectFrame = 2;
        c.nRejectCount = 99;
        SRig rig(c);
        rig.StartStreamDirectly();
        for (int i = 0; i < 2 + 99; ++i)
            rig.Dlg().OnTimer(1);
        EXPECT_EQ(rig.Dlg().m_nNakCount, 99);
        EXPECT_EQ(rig.Dlg().m_nOffset, 2 * 532);
        rig.Dlg().OnTimer(1);
        EXPECT_EQ(rig.Dlg().m_nNakCount, 0);
        EXPECT_EQ(rig.Dlg().m_nTransferState, 1);
        EXPECT_EQ(rig.model.FrameSends(), 2 + 100);
        rig.RunTicks();
        EXPECT_EQ(rig.surface.LastMessage(), "ZT9047Q firmware updated to version " ZT_FIRMWARE_VERSION_TEXT);
        EXPECT_EQ(rig.model.AcceptedImage(), PackagedImage());
    }
    {
        // The 100th reject in a row ends the run with what was acknowledged.
        SSimConfig c = InBootloader();
        c.nRejectFrame = 3;
        c.nRejectCount = 100;
        SRig rig(c);
        rig.StartStreamDirectly();
        rig.RunTicks();
        ASSERT_EQ(rig.surface.m_messages.size(), 1u);
        EXPECT_EQ(rig.surface.m_messages[0], "Firmware update failed.\r\nData send = 1596. Frames sent = 3");
        EXPECT_EQ(rig.model.FrameSends(), 3 + 100);
        EXPECT_EQ(rig.Dlg().m_pPort, nullptr);
        EXPECT_FALSE(rig.Dlg().LastRunCompleted());
    }
}

TEST(Transfer, SilenceEndsTheRunAtOnce)
{
    {
        SSimConfig c = InBootloader();
        c.nSilentFrame = 0;
        SRig rig(c);
        rig.StartStreamDirectly();
        uint64_t nStart = rig.clock.Now();
        EXPECT_EQ(rig.RunTicks(), 1);
        EXPECT_EQ(rig.surface.LastMessage(), kSilenceAtStart);
        // The one-byte answer waits 8 s (4000 ms per byte plus 4000 ms).
        uint64_t nElapsed = rig.clock.Now() - nStart;
        EXPECT_GE(nElapsed, 8000u);
        EXPECT_LE(nElapsed, 8000u + 20);
    }
    {
        // A reject, then silence at the resend: the offset has not moved.
        SSimConfig c = InBootloader();
        c.nRejectFrame = 5;
        c.nRejectCount = 1;
        c.nSilentFrame = 5;
        SRig rig(c);
        rig.StartStreamDirectly();
        rig.RunTicks();
        EXPECT_EQ(rig.surface.LastMessage(), "Firmware update failed 2660 5 2660.\rZT9047Q is not responding.");
    }
}

TEST(Transfer, LateAnswersAndStrayBytes)
{
    {
        // 7.9 s is still within the 8 s an answer may take.
        SSimConfig c = InBootloader();
        c.nAckDelayMs = 7900;
        CTextResource image(FramesHex({10, 10}));
        SRig rig(c, &image);
        rig.StartStreamDirectly();
        rig.RunTicks();
        EXPECT_EQ(rig.surface.LastMessage(), "ZT9047Q firmware updated to version " ZT_FIRMWARE_VERSION_TEXT);
    }
    {
        // Bytes behind an answer (acknowledge bytes among them) are drained
        // before the next frame, never taken for its answer.
        SSimConfig c = InBootloader();
        c.nExtraBytes = 3;
        c.nSilentFrame = 2;
        SRig rig(c);
        rig.StartStreamDirectly();
        rig.RunTicks();
        EXPECT_EQ(rig.surface.LastMessage(), "Firmware update failed 1064 2 1064.\rZT9047Q is not responding.");
    }
}

TEST(Transfer, ProgressIsTheAcknowledgedShare)
{
    // Two frames of 51,944 bytes: the second goes out at 50 %.
    CTextResource image(FramesHex({51942, 51942}));
    SRig rig(InBootloader(), &image);
    rig.StartStreamDirectly();
    rig.surface.m_calls.clear();
    rig.RunTicks();
    std::vector<int> progress;
    for (const SSurfaceCall& call : rig.surface.m_calls) {
        if (call.eKind == SSurfaceCall::kProgress)
            progress.push_back(call.nValue);
    }
    EXPECT_EQ(progress, (std::vector<int>{0, 50, 0}));
}

TEST(Transfer, TicksOutsideAStreamDoNothing)
{
    SRig rig(InBootloader());
    rig.Dlg().OnTimer(1); // idle, no port at all
    rig.StartStreamDirectly();
    rig.Dlg().m_nTransferState = 2; // a tick already in progress
    size_t nWrites = rig.driver.m_writeSizes.size();
    int nReads = rig.driver.m_nReads;
    rig.Dlg().OnTimer(1);
    EXPECT_EQ(rig.driver.m_writeSizes.size(), nWrites);
    EXPECT_EQ(rig.driver.m_nReads, nReads);
    // Any timer id is timer 1.
    rig.Dlg().m_nTransferState = 1;
    rig.Dlg().OnTimer(77);
    EXPECT_EQ(rig.Dlg().m_nFramesSent, 1);
}

TEST(Transfer, BrokenImagesNeverStream)
{
    struct SCase
    {
        const char* pszName;
        std::string strText;
    };
    std::string strOverrun = FramesHex({10});
    strOverrun.resize(strOverrun.size() - 2); // the header claims one byte more
    std::vector<SCase> cases = {
        {"empty", ""},
        {"overrun", strOverrun},
        {"lone trailing byte", FramesHex({4}) + "07"},
        {"not hex", "0004GG112233"},
        {"too large", std::string(2 * 524288 + 2, '0')},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CTextResource image(c.strText);
        SRig rig(InBootloader(), &image);
        rig.StartStreamDirectly();
        EXPECT_EQ(rig.Dlg().m_nTransferState, 0);
        EXPECT_EQ(rig.surface.LastMessage(), texts::kDamagedImage);
        EXPECT_EQ(rig.surface.m_types.back(), kMsgWarning);
        EXPECT_EQ(rig.Dlg().m_pPort, nullptr);
        rig.RunTicks();
        EXPECT_EQ(rig.model.FrameSends(), 0);
    }
}

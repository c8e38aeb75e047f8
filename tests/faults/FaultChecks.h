// How every run must end, whatever went wrong: its message byte for byte,
// the port closed and released, the window idle and ready for the next
// click, and not one byte sent after the end.
#pragma once

#include "FaultRig.h"
#include "BuildVersion.h"

#include <gtest/gtest.h>

#include <string>

inline std::string SilenceText(int nBytes, int nFrames, int nOffset)
{
    return "Firmware update failed " + std::to_string(nBytes) + " " + std::to_string(nFrames) + " "
           + std::to_string(nOffset) + ".\rZT9047Q is not responding.";
}

inline std::string RejectsText(int nBytes, int nFrames)
{
    return "Firmware update failed.\r\nData send = " + std::to_string(nBytes) + ". Frames sent = "
           + std::to_string(nFrames);
}

const char kCompleteText[] = "ZT9047Q firmware updated to version " ZT_FIRMWARE_VERSION_TEXT;
const char kDidNotRespondText[] = "ZT9047Q did not respond.";
const char kBootloaderSilentText[] = "ZT9047Q bootloader not responding.";
const char kStoppedRespondingText[] = "ZT9047Q stopped responding. Make sure unit is turned on.";

// The run ended with strMessage as its last box, and the window is idle.
inline void ExpectEndedIdle(SFaultRig& rig, const std::string& strMessage, unsigned nType = kMsgOk)
{
    const SMessageMark* pEnd = rig.LastMark();
    ASSERT_NE(pEnd, nullptr) << "no message was shown";
    EXPECT_EQ(pEnd->strText, strMessage);
    EXPECT_EQ(pEnd->nType, nType);
    EXPECT_EQ(pEnd->nState, 0) << "the state must be 0 before the box is shown";

    CUpdateDlgDlg& dlg = rig.Dlg();
    EXPECT_EQ(dlg.m_pPort, nullptr);
    EXPECT_EQ(rig.sim.m_nOpenHandles, 0);
    EXPECT_EQ(dlg.m_nTransferState, 0);
    EXPECT_TRUE(rig.surface.m_bDownloadEnabled);
    EXPECT_EQ(rig.surface.m_nProgress, 0);
    EXPECT_EQ(rig.surface.m_strStatus, texts::kWaiting);

    // Nothing after the end, not even from later ticks of the timer.
    rig.IdleTicks(20);
    EXPECT_EQ(rig.model.Received().size(), pEnd->nReceived) << "bytes sent after the end";
    EXPECT_EQ(rig.sim.m_writeSizes.size(), pEnd->nWrites) << "writes after the end";
}

// The whole packaged image went over and was acknowledged, frame for frame.
inline void ExpectCompleted(SFaultRig& rig)
{
    ExpectEndedIdle(rig, kCompleteText);
    const SPackagedImage& img = SPackagedImage::Get();
    EXPECT_TRUE(rig.model.AcceptedImage() == img.bytes) << "the unit did not get the image byte for byte";
    EXPECT_EQ(rig.model.FramesAccepted(), img.Frames());
    EXPECT_TRUE(rig.Dlg().LastRunCompleted());
    EXPECT_LT(rig.surface.m_nMaxProgress, 100);
}

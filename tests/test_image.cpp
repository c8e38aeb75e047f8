// Decoding the firmware text and walking its frames.
#include "support/Rig.h"
#include "BuildVersion.h"
#include "update/FirmwareImage.h"

#include <gtest/gtest.h>

TEST(Image, PackagedResource)
{
    CFakeSurface surface;
    std::unique_ptr<CUpdateDlgDlg> pDlg(new CUpdateDlgDlg(surface, SystemClock()));
    bool bSound = false;
    int n = pDlg->LoadFirmwareImage(pDlg->m_image, &bSound);
    EXPECT_EQ(n, ZT_FIRMWARE_BYTES);
    EXPECT_TRUE(bSound);
    EXPECT_EQ(pDlg->m_image[0], 0x02);
    EXPECT_EQ(pDlg->m_image[1], 0x12);
    EXPECT_EQ(FrameLengthAt(pDlg->m_image, 0), 532);
    EXPECT_TRUE(FramesAreWhole(pDlg->m_image, n));
    EXPECT_EQ(pDlg->LoadFirmwareImage(nullptr), 0);

    // The payload is no run of one value.
    int nDistinct = 0;
    bool seen[256] = {};
    for (int i = 0; i < n; ++i) {
        if (!seen[pDlg->m_image[i]]) {
            seen[pDlg->m_image[i]] = true;
            ++nDistinct;
        }
    }
    EXPECT_EQ(nDistinct, 256);
}

TEST(Image, DecodesPairsLikePercent2X)
{
    uint8_t out[8] = {};
    bool bSound = false;
    EXPECT_EQ(DecodeFirmwareText("0A0b", 4, out, sizeof out, &bSound), 2);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0x0B);
    EXPECT_TRUE(bSound);

    // A fifth character adds no byte and is not looked at.
    for (const char* psz : {"01020", "0102G"}) {
        out[2] = 0xEE;
        EXPECT_EQ(DecodeFirmwareText(psz, 5, out, sizeof out, &bSound), 2);
        EXPECT_EQ(out[1], 0x02);
        EXPECT_EQ(out[2], 0xEE);
        EXPECT_TRUE(bSound);
    }

    // "%2X" reads one digit before a non-digit, nothing before a non-digit first.
    EXPECT_EQ(DecodeFirmwareText("1GG1", 4, out, sizeof out, &bSound), 2);
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[1], 0x00);
    EXPECT_FALSE(bSound);

    // Never past the buffer.
    uint8_t small[3] = {0, 0, 0xEE};
    EXPECT_EQ(DecodeFirmwareText("11223344", 8, small, 2, &bSound), 2);
    EXPECT_EQ(small[2], 0xEE);
    EXPECT_FALSE(bSound);
}

TEST(Image, MissingResourceHasLengthZero)
{
    CFakeSurface surface;
    CTextResource none("", false);
    std::unique_ptr<CUpdateDlgDlg> pDlg(new CUpdateDlgDlg(surface, SystemClock(), nullptr, nullptr, &none));
    EXPECT_EQ(pDlg->LoadFirmwareImage(pDlg->m_image), 0);
}

TEST(Image, FrameWalk)
{
    const uint8_t kEmptyFrames[] = {0x00, 0x00, 0x00, 0x00};
    EXPECT_TRUE(FramesAreWhole(kEmptyFrames, 4));
    EXPECT_EQ(FrameLengthAt(kEmptyFrames, 0), 2);

    const uint8_t kLargest[] = {0xFF, 0xFF};
    EXPECT_EQ(FrameLengthAt(kLargest, 0), 65537);
    EXPECT_FALSE(FramesAreWhole(kLargest, 2));

    const uint8_t kLoneByte[] = {0x00, 0x01, 0xAA, 0x07};
    EXPECT_FALSE(FramesAreWhole(kLoneByte, 4));
    EXPECT_TRUE(FramesAreWhole(kLoneByte, 3));
    EXPECT_FALSE(FramesAreWhole(kLoneByte, 0));
}

TEST(Image, EachTextIsDecodedAsItIsNow)
{
    // Runs share what they decoded; a text of the same length but other
    // characters, or one changed in place, must not get an earlier image.
    CFakeSurface surface;
    CTextResource text("0004A1B2");
    std::unique_ptr<CUpdateDlgDlg> pDlg(new CUpdateDlgDlg(surface, SystemClock(), nullptr, nullptr, &text));
    bool bSound = false;
    ASSERT_EQ(pDlg->LoadFirmwareImage(pDlg->m_image, &bSound), 4);
    EXPECT_EQ(pDlg->m_image[3], 0xB2);
    EXPECT_TRUE(bSound);
    text.m_strText = "0004A1BZ";
    ASSERT_EQ(pDlg->LoadFirmwareImage(pDlg->m_image, &bSound), 4);
    EXPECT_EQ(pDlg->m_image[3], 0x0B);
    EXPECT_FALSE(bSound);
    CTextResource other("0004A1C3");
    std::unique_ptr<CUpdateDlgDlg> pOther(new CUpdateDlgDlg(surface, SystemClock(), nullptr, nullptr, &other));
    ASSERT_EQ(pOther->LoadFirmwareImage(pOther->m_image, &bSound), 4);
    EXPECT_EQ(pOther->m_image[3], 0xC3);
    EXPECT_TRUE(bSound);
}

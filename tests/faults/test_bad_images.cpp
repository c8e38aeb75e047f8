// Damaged firmware images: each is refused before a port is opened, so the
// unit never sees a byte; sound images at the edges of the format go through.
#include "FaultChecks.h"

namespace {

std::string Hex(const std::vector<uint8_t>& bytes, bool bLower = false)
{
    static const char kUpper[] = "0123456789ABCDEF";
    static const char kLower[] = "0123456789abcdef";
    const char* d = bLower ? kLower : kUpper;
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

// Frames with the given payload lengths, payload bytes counting up.
std::vector<uint8_t> Frames(const std::vector<int>& payloads)
{
    std::vector<uint8_t> v;
    for (int n : payloads) {
        v.push_back(static_cast<uint8_t>(n >> 8));
        v.push_back(static_cast<uint8_t>(n & 0xFF));
        for (int i = 0; i < n; ++i)
            v.push_back(static_cast<uint8_t>(v.size() * 7));
    }
    return v;
}

SSimConfig Boot()
{
    SSimConfig c;
    c.bStartInBootloader = true;
    return c;
}

// The image is refused at the click: warning box, nothing opened, nothing sent.
void ExpectRefused(const std::string& strText, bool bPresent = true)
{
    CImageText res(strText, bPresent);
    SFaultRig rig(Boot(), 0, &res);
    rig.Run();
    EXPECT_EQ(rig.Messages(), std::vector<std::string>{texts::kDamagedImage});
    ASSERT_FALSE(rig.marks.empty());
    EXPECT_EQ(rig.marks[0].nType, kMsgWarning);
    EXPECT_EQ(rig.sim.m_nOpens, 0);
    EXPECT_TRUE(rig.model.Received().empty());
    EXPECT_EQ(rig.Dlg().m_pPort, nullptr);
    EXPECT_EQ(rig.Dlg().m_nTransferState, 0);
    EXPECT_TRUE(rig.surface.m_bDownloadEnabled);
    rig.IdleTicks(5);
    EXPECT_TRUE(rig.sim.m_writeSizes.empty());
}

// The image streams whole and the unit accepts exactly its bytes.
void ExpectStreamed(const std::string& strText, const std::vector<uint8_t>& expected)
{
    CImageText res(strText);
    SFaultRig rig(Boot(), 0, &res);
    rig.Run();
    ExpectEndedIdle(rig, kCompleteText);
    EXPECT_TRUE(rig.model.AcceptedImage() == expected);
}

} // namespace

TEST(BadImage, EachDamageIsRefusedBeforeAPortOpens)
{
    const std::string good = Hex(Frames({10, 0, 62, 300}));
    {
        SCOPED_TRACE("empty");
        ExpectRefused("");
    }
    {
        SCOPED_TRACE("missing");
        ExpectRefused(good, false);
    }
    for (char c : {'G', ' ', '\n', 'x', '\0', '\xFF'}) {
        SCOPED_TRACE(std::string("non-hex character ") + std::to_string(static_cast<unsigned char>(c)));
        std::string s = good;
        s[s.size() / 2] = c;
        ExpectRefused(s);
    }
    {
        SCOPED_TRACE("header that overruns the image");
        std::vector<uint8_t> v = Frames({10, 20});
        v[12] = 0x00; // the second header claims 21 payload bytes, 20 remain
        v[13] = 21;
        ExpectRefused(Hex(v));
    }
    {
        SCOPED_TRACE("header of 0xFFFF near the end");
        std::vector<uint8_t> v = Frames({10});
        v.push_back(0xFF);
        v.push_back(0xFF);
        v.push_back(1);
        ExpectRefused(Hex(v));
    }
    {
        SCOPED_TRACE("a lone byte after the last frame");
        std::vector<uint8_t> v = Frames({10, 20});
        v.push_back(0x00);
        ExpectRefused(Hex(v));
    }
    {
        SCOPED_TRACE("larger than the buffer");
        // Whole frames, 2 bytes more than 512 KiB.
        std::vector<int> payloads(7, 65535);
        payloads.push_back(524288 - 7 * 65537 - 2);
        payloads.push_back(0);
        ExpectRefused(Hex(Frames(payloads)));
    }
}

TEST(BadImage, SoundImagesAtTheEdgesOfTheFormatStreamWhole)
{
    {
        SCOPED_TRACE("exactly the buffer, in the largest frames");
        std::vector<int> payloads(7, 65535);
        payloads.push_back(524288 - 7 * 65537 - 2);
        std::vector<uint8_t> v = Frames(payloads);
        ASSERT_EQ(v.size(), 524288u);
        ExpectStreamed(Hex(v), v);
    }
    {
        SCOPED_TRACE("odd length: the lone last character is ignored");
        std::vector<uint8_t> v = Frames({10, 0, 62, 300});
        ExpectStreamed(Hex(v) + "0", v);
    }
    {
        SCOPED_TRACE("empty frames, a frame of one piece, lower-case digits");
        std::vector<uint8_t> v = Frames({0, 62, 0, 63, 1});
        CImageText res(Hex(v, true));
        SFaultRig rig(Boot(), 0, &res);
        rig.Run();
        ExpectEndedIdle(rig, kCompleteText);
        EXPECT_TRUE(rig.model.AcceptedImage() == v);
        // After the handshake's one-byte write: 2 | 64 | 2 | 64, 1 | 3.
        std::vector<uint32_t> writes(rig.sim.m_writeSizes.begin() + 3, rig.sim.m_writeSizes.end());
        EXPECT_EQ(writes, (std::vector<uint32_t>{2, 64, 2, 64, 1, 3}));
    }
}

TEST(BadImage, StreamStartRefusesADamagedImageOnAnOpenPort)
{
    // The handshake has already run (the port is open); the image is checked
    // again where the stream starts.
    std::vector<uint8_t> v = Frames({10, 20});
    v.pop_back();
    CImageText res(Hex(v));
    SFaultRig rig(Boot(), 0, &res);
    rig.Dlg().m_pPort = new CCommPort(&rig.driver);
    ASSERT_TRUE(rig.Dlg().m_pPort->Open("COM5", CUpdateDlgDlg::kBaudRate, CUpdateDlgDlg::kOpenTimeoutMs));
    rig.Dlg().StartStream(false);
    ExpectEndedIdle(rig, texts::kDamagedImage, kMsgWarning);
    EXPECT_TRUE(rig.sim.m_writeSizes.empty());
}

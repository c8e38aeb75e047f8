// The firmware image from any resource text: the decoder never writes past
// its buffer and calls the text sound exactly when it is; the frame walk
// accepts exactly the images made of whole frames; a sound image streams
// whole to the simulated unit, any other is refused before a port opens;
// and a tick fed an image nobody checked never sends a byte from beyond it.
#include "faults/FaultRig.h"
#include "BuildVersion.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

int Hex(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Whole(const std::vector<uint8_t>& v)
{
    if (v.empty())
        return false;
    size_t off = 0;
    while (off < v.size()) {
        if (v.size() - off < 2)
            return false;
        size_t n = static_cast<size_t>(v[off]) * 256 + v[off + 1] + 2;
        if (n > v.size() - off)
            return false;
        off += n;
    }
    return true;
}

SSimConfig Boot()
{
    SSimConfig c;
    c.bStartInBootloader = true;
    return c;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const char* pText = reinterpret_cast<const char*>(pData);
    const uint32_t nChars = static_cast<uint32_t>(nSize);

    // A small buffer of exactly its capacity, so that oversize texts occur.
    const uint32_t nCapacity = 512;
    std::unique_ptr<uint8_t[]> small(new uint8_t[nCapacity]);
    bool bSound = false;
    int n = DecodeFirmwareText(pText, nChars, small.get(), nCapacity, &bSound);
    bool bAllHex = true; // in every pair; a lone last character is ignored
    for (size_t i = 0; i < nSize / 2 * 2; ++i)
        bAllHex = bAllHex && Hex(pData[i]) >= 0;
    if (n != static_cast<int>(std::min<uint32_t>(nChars / 2, nCapacity)))
        std::abort();
    if (bSound != (bAllHex && nChars / 2 <= nCapacity))
        std::abort();
    if (bSound) {
        for (int i = 0; i < n; ++i)
            if (small[static_cast<size_t>(i)] != Hex(pData[2 * i]) * 16 + Hex(pData[2 * i + 1]))
                std::abort();
    }
    std::vector<uint8_t> image(small.get(), small.get() + n);
    if (FramesAreWhole(image.data(), n) != Whole(image))
        std::abort();

    // The whole update with this text as the program's image.
    CImageText res(std::string(pText, nSize));
    {
        SFaultRig rig(Boot(), 0, &res);
        rig.Run();
        std::vector<uint8_t> full(nChars / 2);
        bool bFullSound = false;
        DecodeFirmwareText(pText, nChars, full.data(), static_cast<uint32_t>(full.size()), &bFullSound);
        bool bGood = bFullSound && nChars / 2 <= static_cast<uint32_t>(CUpdateDlgDlg::kImageBufferSize) && Whole(full);
        if (bGood) {
            if (rig.Messages() != std::vector<std::string>{"ZT9047Q firmware updated to version " ZT_FIRMWARE_VERSION_TEXT}
                || rig.model.AcceptedImage() != full)
                std::abort();
        } else if (rig.Messages() != std::vector<std::string>{texts::kDamagedImage} || rig.sim.m_nOpens != 0) {
            std::abort();
        }
        if (rig.Dlg().m_pPort || rig.sim.m_nOpenHandles != 0 || rig.Dlg().m_nTransferState != 0)
            std::abort();
    }

    // A stream of raw bytes that nobody checked: whatever the headers claim,
    // no byte from behind the image may go out.
    if (nSize >= 1) {
        SFaultRig rig(Boot(), 0, &res);
        CUpdateDlgDlg& dlg = rig.Dlg();
        std::memset(dlg.m_image, 0xEE, sizeof dlg.m_image);
        size_t nRaw = std::min<size_t>(nSize, 4096);
        std::memcpy(dlg.m_image, pData, nRaw);
        dlg.m_pPort = new CCommPort(&rig.driver);
        dlg.m_pPort->Open("COM5", 921600, 2000);
        uint8_t bySign = 0x42;
        dlg.m_pPort->Write(&bySign, 1); // the unit takes frames from here on
        rig.model.PopOutput();
        dlg.m_nImageLength = static_cast<int>(nRaw);
        dlg.m_nOffset = dlg.m_nBytesSent = dlg.m_nFramesSent = 0;
        dlg.m_nNakCount = 0;
        dlg.m_nTransferState = 1;
        rig.Ticks();
        size_t nFrameBytes = rig.model.Received().size() - 1;
        if (nFrameBytes > nRaw)
            std::abort();
        const std::vector<uint8_t>& acc = rig.model.AcceptedImage();
        if (acc.size() > nRaw || (!acc.empty() && std::memcmp(acc.data(), pData, acc.size()) != 0))
            std::abort();
        if (dlg.m_pPort || dlg.m_nTransferState != 0)
            std::abort();
    }
    return 0;
}

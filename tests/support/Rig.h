// A whole update on virtual time: the window logic, a scripted surface and
// the simulated unit behind the port seam.
#pragma once

#include "FakeSurface.h"
#include "serial/Clock.h"
#include "sim/InstrumentModel.h"
#include "sim/SimCommDriver.h"
#include "update/Resources.h"
#include "update/UpdateDlgDlg.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

// A firmware resource that a test writes.
class CTextResource : public IResourceSource
{
public:
    explicit CTextResource(const std::string& strText, bool bPresent = true) : m_strText(strText), m_bPresent(bPresent) {}
    bool Find(const char* pszType, int nId, const char** ppData, uint32_t* pnSize) override
    {
        if (!m_bPresent || std::strcmp(pszType, "FILE") != 0 || nId != 143)
            return false;
        *ppData = m_strText.data();
        *pnSize = static_cast<uint32_t>(m_strText.size());
        return true;
    }
    std::string m_strText;
    bool m_bPresent;
};

// Hex text of frames with the given payload lengths (payload bytes count up).
inline std::string FramesHex(const std::vector<int>& lengths)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string s;
    int n = 0;
    auto put = [&](int by) {
        s += kHex[(by >> 4) & 15];
        s += kHex[by & 15];
    };
    for (int nLength : lengths) {
        put(nLength >> 8);
        put(nLength & 0xFF);
        for (int i = 0; i < nLength; ++i)
            put(n++ & 0xFF);
    }
    return s;
}

// The packaged image, decoded.
inline std::vector<uint8_t> PackagedImage()
{
    const char* pText = nullptr;
    uint32_t nChars = 0;
    std::vector<uint8_t> image;
    if (ProgramResources().Find("FILE", 143, &pText, &nChars)) {
        image.resize(nChars / 2);
        for (uint32_t i = 0; i < nChars / 2; ++i) {
            char pair[3] = {pText[2 * i], pText[2 * i + 1], 0};
            image[i] = static_cast<uint8_t>(std::strtoul(pair, nullptr, 16));
        }
    }
    return image;
}

struct SRig
{
    explicit SRig(const SSimConfig& config = SSimConfig(), IResourceSource* pResources = nullptr,
                  uint32_t nStartTick = 0)
        : clock(nStartTick), model(config), driver(model, clock, "COM5"),
          pDlg(new CUpdateDlgDlg(surface, clock, &driver, nullptr, pResources))
    {
        surface.m_nCom = 5;
    }

    CUpdateDlgDlg& Dlg() { return *pDlg; }

    // The window's timer: one tick every 10 ms until the run ends.
    // Returns the ticks that ran.
    int RunTicks(int nMaxTicks = 100000)
    {
        int n = 0;
        while (pDlg->m_nTransferState != 0 && n < nMaxTicks) {
            clock.Advance(10);
            pDlg->OnTimer(1);
            ++n;
        }
        return n;
    }

    // Puts the unit in its bootloader, ready for frames, and the window at
    // the end of a successful handshake.
    void StartStreamDirectly()
    {
        model.Receive(CInstrumentModel::kSign, clock.Now() * 1000);
        pDlg->m_pPort = new CCommPort(&driver);
        pDlg->m_pPort->Open("COM5", 921600, 2000);
        pDlg->m_pPort->SetTimeouts(1);
        pDlg->StartStream(false);
    }

    // Bytes the unit received, as text.
    std::string Received() const
    {
        std::string s;
        for (const CInstrumentModel::SReceived& r : model.Received())
            s += static_cast<char>(r.by);
        return s;
    }

    CFakeSurface surface;
    CVirtualClock clock;
    CInstrumentModel model;
    CSimCommDriver driver;
    std::unique_ptr<CUpdateDlgDlg> pDlg;
};

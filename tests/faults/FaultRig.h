// One whole update on virtual time, as the window runs it: OnDownload, then
// timer ticks 10 ms apart (a tick that ran long is followed by the next at
// once), against the simulated unit. Records what the unit had received and
// the virtual time at every message box, so a scenario can tell when a run
// ended and whether anything went out after the end.
#pragma once

#include "sim/SimCommDriver.h"
#include "support/FakeSurface.h"
#include "update/FirmwareImage.h"
#include "update/Resources.h"
#include "update/UpdateDlgDlg.h"

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A port seam between the window and the simulated device that can spoil the
// line: a unit that babbles without end, or a line that loses every CR.
class CFaultDriver : public ICommDriver
{
public:
    CFaultDriver(CSimCommDriver& inner, CVirtualClock& clock) : m_inner(inner), m_clock(clock) {}

    ICommHandle* OpenDevice(const char* pszName) override
    {
        ICommHandle* p = m_inner.OpenDevice(pszName);
        return p ? new CHandle(*this, p) : nullptr;
    }

    // Once this many bytes have been written, every read brings m_strBabble's
    // next byte, one every m_nBabbleGapMs, for ever.
    int m_nBabbleAfterWrites = -1;
    std::string m_strBabble = "A";
    uint32_t m_nBabbleGapMs = 5;
    // Every CR the unit sends is lost on the line.
    bool m_bDropCR = false;

private:
    class CHandle : public ICommHandle
    {
    public:
        CHandle(CFaultDriver& d, ICommHandle* p) : m_d(d), m_p(p) {}
        ~CHandle() override { delete m_p; }
        bool SetQueues(uint32_t a, uint32_t b) override { return m_p->SetQueues(a, b); }
        bool SetLine(uint32_t n) override { return m_p->SetLine(n); }
        bool SetReadTimeouts(uint32_t a, uint32_t b, uint32_t c) override { return m_p->SetReadTimeouts(a, b, c); }
        bool ReadBytes(void* pBuffer, uint32_t nCount, uint32_t* pnRead) override
        {
            uint8_t* p = static_cast<uint8_t*>(pBuffer);
            if (m_d.m_nBabbleAfterWrites >= 0 && m_nWritten >= m_d.m_nBabbleAfterWrites) {
                for (uint32_t i = 0; i < nCount; ++i) {
                    m_d.m_clock.Advance(m_d.m_nBabbleGapMs);
                    p[i] = static_cast<uint8_t>(m_d.m_strBabble[m_nBabble++ % m_d.m_strBabble.size()]);
                }
                *pnRead = nCount;
                return true;
            }
            uint32_t nGot = 0;
            while (nGot < nCount) {
                uint32_t n = 0;
                m_p->ReadBytes(p + nGot, 1, &n);
                if (n == 0)
                    break;
                if (m_d.m_bDropCR && p[nGot] == '\r')
                    continue;
                ++nGot;
            }
            *pnRead = nGot;
            return true;
        }
        bool WriteBytes(const void* pBuffer, uint32_t nCount, uint32_t* pnWritten) override
        {
            m_nWritten += static_cast<int>(nCount);
            return m_p->WriteBytes(pBuffer, nCount, pnWritten);
        }

    private:
        CFaultDriver& m_d;
        ICommHandle* m_p;
        int m_nWritten = 0;
        size_t m_nBabble = 0;
    };

    CSimCommDriver& m_inner;
    CVirtualClock& m_clock;
};

// The firmware resource as a test wants it: any text, or none at all.
class CImageText : public IResourceSource
{
public:
    explicit CImageText(std::string strText, bool bPresent = true)
        : m_strText(std::move(strText)), m_bPresent(bPresent)
    {
    }
    bool Find(const char* pszType, int nId, const char** ppData, uint32_t* pnSize) override
    {
        if (!m_bPresent || std::strcmp(pszType, kFirmwareResourceType) != 0 || nId != kFirmwareResourceId)
            return false;
        *ppData = m_strText.data();
        *pnSize = static_cast<uint32_t>(m_strText.size());
        return true;
    }
    std::string m_strText;
    bool m_bPresent;
};

// The packaged image, decoded, and where its frames start.
struct SPackagedImage
{
    std::vector<uint8_t> bytes;
    std::vector<int> frameStarts;

    static const SPackagedImage& Get()
    {
        static SPackagedImage image = [] {
            SPackagedImage img;
            const char* pText = nullptr;
            uint32_t n = 0;
            ProgramResources().Find(kFirmwareResourceType, kFirmwareResourceId, &pText, &n);
            img.bytes.resize(n / 2);
            DecodeFirmwareText(pText, n, img.bytes.data(), static_cast<uint32_t>(img.bytes.size()), nullptr);
            for (int off = 0; off + 1 < static_cast<int>(img.bytes.size()); off += FrameLengthAt(img.bytes.data(), off))
                img.frameStarts.push_back(off);
            return img;
        }();
        return image;
    }
    int Frames() const { return static_cast<int>(frameStarts.size()); }
};

// What the unit had received, and when, at one message box.
struct SMessageMark
{
    std::string strText;
    unsigned nType;
    uint64_t nAtMs;
    size_t nReceived;
    size_t nWrites;
    int nState;
};

struct SFaultRig
{
    explicit SFaultRig(const SSimConfig& config = SSimConfig(), uint32_t nStartTick = 0,
                       IResourceSource* pResources = nullptr)
        : clock(nStartTick), model(config), sim(model, clock), driver(sim, clock)
    {
        dlg.reset(new CUpdateDlgDlg(surface, clock, &driver, nullptr, pResources));
        surface.m_onMessage = [this](const std::string& strText, unsigned nType) {
            marks.push_back(SMessageMark{strText, nType, clock.Now(), model.Received().size(),
                                         sim.m_writeSizes.size(), dlg->m_nTransferState});
            if (onMessage)
                onMessage(strText, nType);
        };
    }

    CUpdateDlgDlg& Dlg() { return *dlg; }

    // A click on Download.
    void Download()
    {
        nDownloadAtMs = clock.Now();
        dlg->OnDownload();
        nDownloadEndMs = clock.Now();
    }

    // Timer ticks until the run is idle again or nMaxTicks have passed.
    // Returns the ticks that found a stream to carry on.
    int Ticks(int nMaxTicks = 100000)
    {
        int nBusy = 0;
        for (int i = 0; i < nMaxTicks && dlg->m_nTransferState != 0; ++i) {
            uint64_t nStart = clock.Now();
            uint64_t nBefore = clock.Now();
            dlg->OnTimer(CUpdateDlgDlg::kTimerId);
            ++nBusy;
            uint64_t nTook = clock.Now() - nBefore;
            if (nTook > nLongestTickMs)
                nLongestTickMs = nTook;
            clock.AdvanceTo(nStart + CUpdateDlgDlg::kTimerPeriodMs);
        }
        return nBusy;
    }

    // Idle ticks after the end; they must send and read nothing.
    void IdleTicks(int n)
    {
        for (int i = 0; i < n; ++i) {
            dlg->OnTimer(CUpdateDlgDlg::kTimerId);
            clock.Advance(CUpdateDlgDlg::kTimerPeriodMs);
        }
    }

    void Run()
    {
        Download();
        Ticks();
    }

    const SMessageMark* LastMark() const { return marks.empty() ? nullptr : &marks.back(); }
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> v;
        for (const SMessageMark& m : marks)
            v.push_back(m.strText);
        return v;
    }
    // The bytes the unit received, as text.
    std::string ReceivedText(size_t nFrom = 0) const
    {
        std::string s;
        const auto& r = model.Received();
        for (size_t i = nFrom; i < r.size(); ++i)
            s += static_cast<char>(r[i].by);
        return s;
    }

    CVirtualClock clock;
    CInstrumentModel model;
    CSimCommDriver sim;
    CFaultDriver driver;
    CFakeSurface surface;
    std::unique_ptr<CUpdateDlgDlg> dlg;
    std::function<void(const std::string&, unsigned)> onMessage;
    std::vector<SMessageMark> marks;
    uint64_t nDownloadAtMs = 0;
    uint64_t nDownloadEndMs = 0;
    uint64_t nLongestTickMs = 0;
};

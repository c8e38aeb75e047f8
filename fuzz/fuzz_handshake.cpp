// The whole Download handler against any stream of bytes from the unit
// (played on virtual time, whatever the handler sends): it always returns
// within the sum of its time limits, and either starts the stream on an open
// port or ends idle with the port released and one of the system's texts.
#include "ScriptPort.h"
#include "BuildVersion.h"
#include "serial/Console.h"
#include "support/FakeSurface.h"
#include "update/UpdateDlgDlg.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

namespace {

bool IsKnownText(const std::string& s)
{
    static const std::set<std::string> kTexts = {
        "ZT9047Q did not respond.",
        "ZT9047Q bootloader not responding.",
        "Can not upgrade the ZT9047Q's firmware with this bootloader.",
        "ZT9047Q stopped responding. Make sure unit is turned on.",
    };
    return kTexts.count(s) > 0 || s.compare(0, 48, "The ZT9047Q is running a newer firmware version(") == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 1)
        return 0;
    CFakeSurface surface;
    surface.m_nDefaultAnswer = (pData[0] & 1) ? kAnswerYes : kAnswerNo;
    CVirtualClock clock((pData[0] & 2) ? 0xFFFFFFFFu - 5000u : 0u);
    CScriptPort script(clock, pData + 1, nSize - 1);
    std::unique_ptr<CUpdateDlgDlg> pDlg(new CUpdateDlgDlg(surface, clock, &script));
    CUpdateDlgDlg& dlg = *pDlg;

    dlg.OnDownload();
    const uint64_t nElapsed = clock.Now();

    // Drains, three reply lines at their hard limit, the pauses, the sign
    // wait at its overall limit, and a little for the polls.
    const uint64_t nLimit = 3 * console::kDrainLimitMs + 3 * console::kReplyHardLimitMs + 3550
                            + CUpdateDlgDlg::kSignWaitLimitMs + 600 + 500;
    if (nElapsed > nLimit) {
        std::fprintf(stderr, "Download held the window for %llu ms\n", static_cast<unsigned long long>(nElapsed));
        std::abort();
    }
    if (dlg.m_nTransferState == 1) {
        if (!dlg.m_pPort || !dlg.m_pPort->IsOpen() || dlg.m_nImageLength != ZT_FIRMWARE_BYTES || surface.m_bDownloadEnabled)
            std::abort();
        for (const std::string& s : surface.m_messages)
            if (s.compare(0, 48, "The ZT9047Q is running a newer firmware version(") != 0)
                std::abort();
        return 0;
    }
    if (dlg.m_nTransferState != 0 || dlg.m_pPort || !surface.m_bDownloadEnabled
        || surface.m_strStatus != texts::kWaiting || surface.m_messages.empty())
        std::abort();
    for (const std::string& s : surface.m_messages)
        if (!IsKnownText(s))
            std::abort();
    // A run that ends without a box of its own ended on the question's No.
    return 0;
}

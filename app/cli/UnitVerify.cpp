#include "UnitVerify.h"

#include "serial/Console.h"
#include "update/UpdateDlgDlg.h"
#include "update/Version.h"

#include <cmath>
#include <cstring>

namespace {
// Between two tries to open a port that is not there (yet).
const uint32_t kReopenPauseMs = 250;
const int kLineSize = 128;
const size_t kShortestAnswer = 5; // as the handshake judges the wake-up reply
} // namespace

SConsoleVersion WakeAndReadVersion(ICommDriver* pDriver, const std::string& strPortName, IClock& clock,
                                   uint32_t nLimitMs)
{
    SConsoleVersion result;
    const uint32_t nStart = clock.GetTickCount();
    CCommPort port(pDriver);
    while (!clock.Cancelled() && TicksElapsed(nStart, clock.GetTickCount()) < nLimitMs) {
        if (!port.IsOpen()
            && !port.Open(strPortName.c_str(), CUpdateDlgDlg::kBaudRate, CUpdateDlgDlg::kOpenTimeoutMs)) {
            clock.Sleep(kReopenPauseMs);
            continue;
        }
        DrainInput(&port, clock);
        SendText(&port, "\r\n", false, clock);
        char szLine[kLineSize];
        int nSeen = 0;
        ReadReplyLine(&port, szLine, kLineSize, &nSeen, clock);
        if (std::strlen(szLine) >= kShortestAnswer) {
            result.bAnswered = true;
            result.bVersionKnown = ReadReportedVersion(szLine, &result.fVersion);
            break;
        }
        if (nSeen == 0)
            port.Close();
    }
    port.Close();
    return result;
}

bool IsPackagedVersion(float fVersion)
{
    double dHundredths = static_cast<double>(fVersion) * 100.0;
    return std::isfinite(dHundredths) && std::trunc(dHundredths) == std::trunc(kPackagedVersion * 100.0 + 0.5);
}

// The version rule through the window's logic, against any wake-up reply,
// any answer to the downgrade question and any later answer of the unit,
// compared with a plain reading of the rule: the number after the first
// "VER" read as "%f" reads it (no INF, NAN or hexadecimal form), refused
// below 2.00, asked about above 2.20 in hundredths.
#include "ScriptPort.h"
#include "support/FakeSurface.h"
#include "update/UpdateDlgDlg.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// The longest prefix of p that "%f" takes as a number, or an empty text.
std::string NumberPrefix(const char* p)
{
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    const char* q = p;
    if (*q == '+' || *q == '-')
        ++q;
    int nDigits = 0;
    while (*q >= '0' && *q <= '9')
        ++q, ++nDigits;
    if (*q == '.') {
        ++q;
        while (*q >= '0' && *q <= '9')
            ++q, ++nDigits;
    }
    if (nDigits == 0)
        return std::string();
    if (*q == 'e' || *q == 'E') {
        const char* e = q + 1;
        if (*e == '+' || *e == '-')
            ++e;
        if (*e >= '0' && *e <= '9') {
            while (*e >= '0' && *e <= '9')
                ++e;
            q = e;
        }
    }
    return std::string(p, q);
}

const char kRefused[] = "Can not upgrade the ZT9047Q's firmware with this bootloader.";
const char kStopped[] = "ZT9047Q stopped responding. Make sure unit is turned on.";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    // flags | reply line up to the first zero byte | the unit's later bytes
    if (nSize < 1)
        return 0;
    static std::unique_ptr<CFakeSurface> pSurface(new CFakeSurface);
    CFakeSurface& surface = *pSurface;
    surface = CFakeSurface();
    surface.m_nDefaultAnswer = (pData[0] & 1) ? kAnswerYes : kAnswerNo;

    const char* pLine = reinterpret_cast<const char*>(pData + 1);
    size_t nLine = strnlen(pLine, nSize - 1);
    std::string strLine(pLine, nLine);
    size_t nRest = nLine + 2 <= nSize ? nSize - 1 - nLine - 1 : 0;
    const uint8_t* pRest = pData + nSize - nRest;

    CVirtualClock clock;
    CScriptPort script(clock, pRest, nRest);
    static std::unique_ptr<CUpdateDlgDlg> pDlg;
    pDlg.reset(new CUpdateDlgDlg(surface, clock, &script));
    CUpdateDlgDlg& dlg = *pDlg;
    dlg.m_pPort = new CCommPort(&script);
    dlg.m_pPort->Open("COM5", 921600, 1);

    int nResult = dlg.CheckDeviceVersion(strLine);

    // What the rule says.
    std::string strUpper = strLine;
    for (char& c : strUpper)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    size_t nKey = strUpper.find("VER");
    std::string strNumber = nKey == std::string::npos ? std::string() : NumberPrefix(strUpper.c_str() + nKey + 3);
    if (strNumber.empty()) {
        if (nResult != 1 || !surface.m_messages.empty() || script.m_nWritten != 0)
            std::abort();
        return 0;
    }
    std::setlocale(LC_NUMERIC, "C");
    float f = std::strtof(strNumber.c_str(), nullptr);
    double dHundredths = std::trunc(static_cast<double>(f) * 100.0);
    if (!(dHundredths > 220.0)) {
        bool bRefuse = f < 2.0f;
        if (nResult != (bRefuse ? 0 : 1) || script.m_nWritten != 0)
            std::abort();
        if (bRefuse != (surface.m_messages.size() == 1 && surface.m_messages[0] == kRefused
                        && surface.m_types[0] == kMsgWarning))
            std::abort();
        if (!bRefuse && !surface.m_messages.empty())
            std::abort();
        return 0;
    }
    char szQuestion[512];
    std::snprintf(szQuestion, sizeof szQuestion,
                  "The ZT9047Q is running a newer firmware version(%.2f).\r\n"
                  "Are you sure you want to down grade to version %.2f?",
                  static_cast<double>(f), 2.20);
    if (surface.m_messages.empty() || surface.m_messages[0] != szQuestion || surface.m_types[0] != kMsgWarningQuestion) {
        std::fprintf(stderr, "question differs:\n%s\n%s\n", surface.m_messages.empty() ? "(none)" : surface.m_messages[0].c_str(), szQuestion);
        std::abort();
    }
    if (!(pData[0] & 1)) {
        if (nResult != 0 || surface.m_messages.size() != 1 || script.m_nWritten != 0)
            std::abort();
        return 0;
    }
    if (script.m_nWritten != 2)
        std::abort();
    bool bStopped = surface.m_messages.size() == 2 && surface.m_messages[1] == kStopped;
    if (nResult == 1 ? surface.m_messages.size() != 1 : !bStopped)
        std::abort();
    return 0;
}

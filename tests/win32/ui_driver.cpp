// Drives ZT9047QUpdate.exe from outside, as an operator would: finds its
// window by the caption, sets the COM spin box, clicks Download, follows the
// status line and the progress bar, and answers the message boxes by their
// caption while reading their texts. Prints what it sees; exit code 0 when
// the scenario went as expected.
//
//   ui_driver update BAD_COM GOOD_COM   the window opens with GOOD_COM found by
//                                       its own detection; About box; a whole
//                                       update from there with a close request
//                                       answered No; then a port that does not
//                                       open
//   ui_driver close-yes COM             from COM found at start, a close
//                                       request answered Yes during the
//                                       stream ends the program
#include "resource.h"
#include "BuildVersion.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kMainCaption[] = "QNL ZT9047Q Firmware Update Version " ZT_FIRMWARE_VERSION_TEXT;
const char kBoxCaption[] = "ZT9047Q Firmware Update";
const char kAboutCaption[] = "About ZT9047Q Firmware Update";
const char kCloseQuestion[] = "Warning, data transfer in progress.\r\n"
                              "Terminating the transfer before completion\r\n"
                              "will result in unpredictable ZT9047Q operation.\r\n"
                              "\r\n"
                              "Are you sure you want to exit?";
const char kDone[] = "ZT9047Q firmware updated to version " ZT_FIRMWARE_VERSION_TEXT;
const char kWaiting[] = "Waiting to download...";

int g_nFailures = 0;

void Fail(const std::string& strWhat)
{
    std::printf("FAIL %s\n", strWhat.c_str());
    std::fflush(stdout);
    ++g_nFailures;
}

void Note(const std::string& strWhat)
{
    std::printf("%s\n", strWhat.c_str());
    std::fflush(stdout);
}

std::string Printable(const std::string& s)
{
    std::string r;
    for (char c : s) {
        if (c == '\r')
            r += "\\r";
        else if (c == '\n')
            r += "\\n";
        else
            r += c;
    }
    return r;
}

std::string TextOf(HWND hWnd)
{
    char buffer[1024];
    buffer[0] = '\0';
    GetWindowTextA(hWnd, buffer, sizeof buffer);
    return buffer;
}

struct SFind
{
    const char* pszCaption;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectByCaption(HWND hWnd, LPARAM lParam)
{
    SFind* pFind = reinterpret_cast<SFind*>(lParam);
    char szClass[64];
    GetClassNameA(hWnd, szClass, sizeof szClass);
    if (std::strcmp(szClass, "#32770") == 0 && IsWindowVisible(hWnd) && TextOf(hWnd) == pFind->pszCaption)
        pFind->found.push_back(hWnd);
    return TRUE;
}

std::vector<HWND> Dialogs(const char* pszCaption)
{
    SFind find;
    find.pszCaption = pszCaption;
    EnumWindows(CollectByCaption, reinterpret_cast<LPARAM>(&find));
    return find.found;
}

HWND WaitDialog(const char* pszCaption, DWORD dwMs)
{
    DWORD dwStart = GetTickCount();
    do {
        std::vector<HWND> found = Dialogs(pszCaption);
        if (!found.empty())
            return found.front();
        Sleep(50);
    } while (GetTickCount() - dwStart < dwMs);
    return nullptr;
}

// A control's current text, asked of its own thread (an edit box keeps its
// text to itself, and the window's copy of a static can lag behind).
std::string ControlText(HWND hControl)
{
    char buffer[1024];
    DWORD_PTR nResult = 0;
    if (!SendMessageTimeoutA(hControl, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer), SMTO_NORMAL,
                             15000, &nResult))
        return "(no answer)";
    buffer[nResult < sizeof buffer ? nResult : sizeof buffer - 1] = '\0';
    return buffer;
}

BOOL CALLBACK CollectStatics(HWND hWnd, LPARAM lParam)
{
    char szClass[64];
    GetClassNameA(hWnd, szClass, sizeof szClass);
    if (_stricmp(szClass, "Static") == 0) {
        std::string strText = ControlText(hWnd);
        if (!strText.empty() && (GetWindowLongA(hWnd, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
            reinterpret_cast<std::vector<std::string>*>(lParam)->push_back(strText);
    }
    return TRUE;
}

std::vector<std::string> StaticTexts(HWND hDialog)
{
    std::vector<std::string> texts;
    EnumChildWindows(hDialog, CollectStatics, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

// The message text of a box: its static 0xFFFF, or its longest static.
std::string BoxText(HWND hBox)
{
    HWND hText = GetDlgItem(hBox, 0xFFFF);
    if (hText)
        return ControlText(hText);
    std::string strLongest;
    for (const std::string& s : StaticTexts(hBox)) {
        if (s.size() > strLongest.size())
            strLongest = s;
    }
    return strLongest;
}

void Press(HWND hDialog, int nId)
{
    PostMessageA(hDialog, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(hDialog, nId)));
}

bool WaitGone(HWND hWnd, DWORD dwMs)
{
    DWORD dwStart = GetTickCount();
    while (IsWindow(hWnd) && IsWindowVisible(hWnd)) {
        if (GetTickCount() - dwStart > dwMs)
            return false;
        Sleep(50);
    }
    return true;
}

// Answers the one box that must come now with the given text.
bool AnswerBox(const std::string& strExpected, int nButton, DWORD dwMs)
{
    HWND hBox = WaitDialog(kBoxCaption, dwMs);
    if (!hBox) {
        Fail("no message box with the text \"" + Printable(strExpected) + "\"");
        return false;
    }
    std::string strText = BoxText(hBox);
    Note("BOX " + Printable(strText));
    if (strText != strExpected)
        Fail("box text \"" + Printable(strText) + "\", expected \"" + Printable(strExpected) + "\"");
    Press(hBox, nButton);
    if (!WaitGone(hBox, 5000))
        Fail("the box did not close");
    return strText == strExpected;
}

LRESULT Ask(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR nResult = 0;
    if (!SendMessageTimeoutA(hWnd, nMsg, wParam, lParam, SMTO_NORMAL, 10000, &nResult))
        return -1;
    return static_cast<LRESULT>(nResult);
}

int ProgressOf(HWND hMain)
{
    return static_cast<int>(Ask(GetDlgItem(hMain, IDC_PROGRESS), PBM_GETPOS, 0, 0));
}

void SetSpin(HWND hMain, int nCom)
{
    Ask(GetDlgItem(hMain, IDC_SPIN_PORT), UDM_SETPOS32, 0, nCom);
    std::string strEdit = ControlText(GetDlgItem(hMain, IDC_EDIT_COMPORT));
    Note("SPIN " + std::to_string(nCom) + " edit \"" + strEdit + "\"");
    if (strEdit != std::to_string(nCom))
        Fail("the spin box did not carry " + std::to_string(nCom) + " into its edit box");
}

// The window as it opens: the instrument's port (registered in the prefix
// beside a decoy) found by the window's own detection, no message box.
HWND OpenMainWindow(int nFoundCom)
{
    // A box shown while the window initialises (the not-found message, say)
    // holds back its caption's version: answer it, and fail.
    HWND hMain = nullptr;
    DWORD dwStart = GetTickCount();
    while (!hMain && GetTickCount() - dwStart < 60000) {
        for (HWND hBox : Dialogs(kBoxCaption)) {
            Fail("a box at start: \"" + Printable(BoxText(hBox)) + "\"");
            Press(hBox, IDOK);
            WaitGone(hBox, 5000);
        }
        hMain = WaitDialog(kMainCaption, 100);
    }
    if (!hMain) {
        Fail("main window not found by its caption");
        return nullptr;
    }
    Note("WINDOW " + TextOf(hMain));
    LRESULT nPos = Ask(GetDlgItem(hMain, IDC_SPIN_PORT), UDM_GETPOS32, 0, 0);
    Note("FOUND COM" + std::to_string(nPos));
    if (nPos != nFoundCom)
        Fail("spin position " + std::to_string(nPos) + " at start, expected the detected " + std::to_string(nFoundCom));
    std::string strStatus = ControlText(GetDlgItem(hMain, IDC_STATUS));
    if (strStatus != kWaiting)
        Fail("status \"" + strStatus + "\" at start");
    return hMain;
}

void CheckAbout(HWND hMain)
{
    PostMessageA(hMain, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    HWND hAbout = WaitDialog(kAboutCaption, 5000);
    if (!hAbout) {
        Fail("system command 16 opened no About box");
        return;
    }
    bool bVersion = false, bNotice = false;
    for (const std::string& s : StaticTexts(hAbout)) {
        Note("ABOUT " + s);
        bVersion = bVersion || s == "ZT9047Q Version 2.00";
        bNotice = bNotice || s == "Copyright (C) 2026 QNL"; // as in the Linux window
    }
    if (!bVersion)
        Fail("About box without \"ZT9047Q Version 2.00\"");
    if (!bNotice)
        Fail("About box without the maker's notice \"Copyright (C) 2026 QNL\"");
    Press(hAbout, IDOK);
    if (!WaitGone(hAbout, 5000))
        Fail("About box did not close");
}

struct SRun
{
    std::vector<std::string> statuses;
    int nLastProgress = 0;
    int nMaxProgress = 0;
    bool bDownloadDisabledSeen = false;
    std::string strEndText;
};

// Follows the window until a box other than the close question comes.
// nCloseAt: progress at which a close request goes to the window; nAnswer:
// the answer to the question (IDNO or IDYES).
void FollowRun(HWND hMain, SRun& run, int nCloseAt, int nAnswer)
{
    bool bCloseSent = false;
    DWORD dwStart = GetTickCount();
    while (GetTickCount() - dwStart < 120000) {
        if (!IsWindow(hMain)) {
            run.strEndText = "(window gone)";
            return;
        }
        std::string strStatus = ControlText(GetDlgItem(hMain, IDC_STATUS));
        if (run.statuses.empty() || run.statuses.back() != strStatus) {
            run.statuses.push_back(strStatus);
            Note("STATUS " + strStatus);
        }
        int nProgress = ProgressOf(hMain);
        if (nProgress >= 0 && nProgress != run.nLastProgress) {
            if (nProgress < run.nLastProgress && nProgress != 0)
                Fail("progress went back from " + std::to_string(run.nLastProgress) + " to "
                     + std::to_string(nProgress));
            run.nLastProgress = nProgress;
            if (nProgress > run.nMaxProgress)
                run.nMaxProgress = nProgress;
            Note("PROGRESS " + std::to_string(nProgress));
            if (nProgress > 0 && !IsWindowEnabled(GetDlgItem(hMain, IDC_DOWNLOAD)))
                run.bDownloadDisabledSeen = true;
        }

        if (!bCloseSent && nCloseAt > 0 && nProgress >= nCloseAt) {
            bCloseSent = true;
            Note("CLOSE requested at progress " + std::to_string(nProgress));
            PostMessageA(hMain, WM_CLOSE, 0, 0);
            HWND hQuestion = WaitDialog(kBoxCaption, 10000);
            if (!hQuestion) {
                Fail("no question on a close request during the stream");
                continue;
            }
            std::string strText = BoxText(hQuestion);
            Note("BOX " + Printable(strText));
            if (strText != kCloseQuestion)
                Fail("close question text \"" + Printable(strText) + "\"");
            // The stream goes on underneath the open question.
            int nBefore = ProgressOf(hMain);
            DWORD dwWait = GetTickCount();
            int nAfter = nBefore;
            while (nAfter == nBefore && GetTickCount() - dwWait < 5000) {
                Sleep(20);
                nAfter = ProgressOf(hMain);
            }
            Note("PROGRESS under the question " + std::to_string(nBefore) + " -> " + std::to_string(nAfter));
            if (nAfter <= nBefore)
                Fail("the transfer stood still while the close question was open");
            Press(hQuestion, nAnswer);
            WaitGone(hQuestion, 5000);
            Note(nAnswer == IDNO ? "ANSWER No" : "ANSWER Yes");
            if (nAnswer == IDYES) {
                run.strEndText = WaitGone(hMain, 10000) ? "(window gone)" : "(window still open)";
                return;
            }
            continue;
        }

        std::vector<HWND> boxes = Dialogs(kBoxCaption);
        if (!boxes.empty()) {
            run.strEndText = BoxText(boxes.front());
            Note("BOX " + Printable(run.strEndText));
            Press(boxes.front(), IDOK);
            WaitGone(boxes.front(), 5000);
            return;
        }
        Sleep(10);
    }
    Fail("the run did not end within 120 s");
}

int ScenarioUpdate(int nBadCom, int nGoodCom)
{
    HWND hMain = OpenMainWindow(nGoodCom);
    if (!hMain)
        return 1;
    CheckAbout(hMain);

    // Download on the port as found.
    Press(hMain, IDC_DOWNLOAD);
    SRun run;
    FollowRun(hMain, run, 30, IDNO);
    if (run.strEndText != kDone)
        Fail("the run ended with \"" + Printable(run.strEndText) + "\"");
    // The handshake runs without turning the message loop, so its earlier
    // status lines ("Communicating with ZT9047Q", "Entering bootloader...",
    // "Initializing bootloader...") cannot be read from outside; the stream's
    // line can.
    const char* kExpected[] = {"Downloading new firmware..."};
    for (const char* psz : kExpected) {
        bool bSeen = false;
        for (const std::string& s : run.statuses)
            bSeen = bSeen || s == psz;
        if (!bSeen)
            Fail(std::string("status \"") + psz + "\" never seen");
    }
    if (run.nMaxProgress < 90)
        Fail("progress reached only " + std::to_string(run.nMaxProgress));
    if (!run.bDownloadDisabledSeen)
        Fail("Download stayed enabled during the stream");

    // Back to idle after the run.
    Sleep(200);
    if (ControlText(GetDlgItem(hMain, IDC_STATUS)) != kWaiting)
        Fail("status after the run: " + ControlText(GetDlgItem(hMain, IDC_STATUS)));
    if (ProgressOf(hMain) != 0)
        Fail("progress after the run: " + std::to_string(ProgressOf(hMain)));
    if (!IsWindowEnabled(GetDlgItem(hMain, IDC_DOWNLOAD)))
        Fail("Download still disabled after the run");

    // A COM number that names no device: the port does not open.
    SetSpin(hMain, nBadCom);
    Press(hMain, IDC_DOWNLOAD);
    AnswerBox("Error: COM" + std::to_string(nBadCom) + " in use or does not exist.", IDOK, 20000);

    // Close while idle: no question, the window goes at once.
    PostMessageA(hMain, WM_CLOSE, 0, 0);
    if (!WaitGone(hMain, 5000))
        Fail("idle window did not close");
    if (!Dialogs(kBoxCaption).empty())
        Fail("a box came on an idle close");
    Note("CLOSED");
    return g_nFailures ? 1 : 0;
}

int ScenarioCloseYes(int nCom)
{
    HWND hMain = OpenMainWindow(nCom);
    if (!hMain)
        return 1;
    Press(hMain, IDC_DOWNLOAD);
    SRun run;
    FollowRun(hMain, run, 20, IDYES);
    if (run.strEndText != "(window gone)")
        Fail("after Yes: " + Printable(run.strEndText));
    Note("CLOSED");
    return g_nFailures ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string strScenario = argc > 1 ? argv[1] : "";
    int nResult = 2;
    if (strScenario == "update" && argc == 4)
        nResult = ScenarioUpdate(std::atoi(argv[2]), std::atoi(argv[3]));
    else if (strScenario == "close-yes" && argc == 3)
        nResult = ScenarioCloseYes(std::atoi(argv[2]));
    else
        std::fprintf(stderr, "usage: ui_driver update BAD_COM GOOD_COM | close-yes COM\n");
    Note(nResult == 0 ? "RESULT PASS" : "RESULT FAIL");
    return nResult;
}

#include "UpdateDlgWindow.h"

#include "AboutDlg.h"
#include "UpdateDlgApp.h"
#include "resource.h"

#include <commctrl.h>
#include <mmsystem.h>

void CenterDialog(HWND hDialog)
{
    RECT area;
    HWND hOwner = GetWindow(hDialog, GW_OWNER);
    if (!hOwner || !GetWindowRect(hOwner, &area) || IsIconic(hOwner))
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    RECT rect;
    GetWindowRect(hDialog, &rect);
    int cx = rect.right - rect.left;
    int cy = rect.bottom - rect.top;
    int x = area.left + (area.right - area.left - cx) / 2;
    int y = area.top + (area.bottom - area.top - cy) / 2;
    SetWindowPos(hDialog, nullptr, x < 0 ? 0 : x, y < 0 ? 0 : y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

CUpdateDlgWindow::CUpdateDlgWindow(HWND hParent)
    : m_dlg(*this, SystemClock()),
      m_nComPort(0),
      m_hIcon(LoadIconA(theApp.m_hInstance, MAKEINTRESOURCEA(IDR_MAINFRAME))),
      m_hParent(hParent),
      m_hWnd(nullptr),
      m_bInDownload(false),
      m_bCloseDeferred(false),
      m_bInClose(false),
      m_bFineTimer(false)
{
}

CUpdateDlgWindow::~CUpdateDlgWindow()
{
}

INT_PTR CUpdateDlgWindow::DoModal()
{
    return DialogBoxParamA(theApp.m_hInstance, MAKEINTRESOURCEA(IDD_ZT9047QUPDATE_DIALOG), m_hParent, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CUpdateDlgWindow::DialogProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    CUpdateDlgWindow* pThis;
    if (nMsg == WM_INITDIALOG) {
        pThis = reinterpret_cast<CUpdateDlgWindow*>(lParam);
        pThis->m_hWnd = hWnd;
        SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
    } else {
        pThis = reinterpret_cast<CUpdateDlgWindow*>(GetWindowLongPtrA(hWnd, DWLP_USER));
    }
    if (!pThis)
        return FALSE; // messages before WM_INITDIALOG
    return pThis->OnMessage(nMsg, wParam, lParam);
}

INT_PTR CUpdateDlgWindow::OnMessage(UINT nMsg, WPARAM wParam, LPARAM)
{
    switch (nMsg) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_SYSCOMMAND:
        return OnSysCommand(static_cast<UINT>(wParam)) ? TRUE : FALSE;
    case WM_PAINT:
        return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(m_hIcon);
    case WM_TIMER:
        m_dlg.OnTimer(static_cast<uintptr_t>(wParam));
        if (m_dlg.m_nTransferState == 0)
            SetFineTimer(false); // the run has ended and been reset
        return TRUE;
    case WM_CLOSE:
        OnCloseRequest();
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_DOWNLOAD:
            if (HIWORD(wParam) == BN_CLICKED)
                OnDownload();
            return TRUE;
        case ID_APP_EXIT:
        case IDCANCEL:
            // The Close button and Escape take the title bar's guarded path.
            OnCloseRequest();
            return TRUE;
        case IDOK:
            if (DoDataExchange(true))
                OnCloseRequest();
            return TRUE;
        }
        break;
    }
    return FALSE;
}

BOOL CUpdateDlgWindow::OnInitDialog()
{
    theApp.m_pMainWnd = this;
    CenterDialog(m_hWnd);
    DoDataExchange(false);

    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    SendMessageA(Item(IDC_PROGRESS), PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageA(Item(IDC_PROGRESS), PBM_SETPOS, 0, 0);
    SendMessageA(Item(IDC_SPIN_PORT), UDM_SETRANGE, 0, MAKELPARAM(256, 1));

    // Discovery, the spin position or the not-found message, idle state.
    m_dlg.OnInitDialog();

    char szCaption[256];
    GetWindowTextA(m_hWnd, szCaption, sizeof szCaption);
    std::string strCaption = szCaption;
    strCaption += CUpdateDlgDlg::CaptionVersionSuffix();
    SetWindowTextA(m_hWnd, strCaption.c_str());

    SetTimer(m_hWnd, CUpdateDlgDlg::kTimerId, CUpdateDlgDlg::kTimerPeriodMs, nullptr);
    return TRUE;
}

bool CUpdateDlgWindow::OnSysCommand(UINT nID)
{
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about;
        about.DoModal(m_hWnd);
        return true;
    }
    return false;
}

bool CUpdateDlgWindow::OnPaint()
{
    if (!IsIconic(m_hWnd))
        return false;
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(m_hWnd, &ps);
    SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
    int cxIcon = GetSystemMetrics(SM_CXICON);
    int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(m_hWnd, &rect);
    int x = (rect.right - rect.left - cxIcon + 1) / 2;
    int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    DrawIcon(hdc, x, y, m_hIcon);
    EndPaint(m_hWnd, &ps);
    return true;
}

void CUpdateDlgWindow::OnDownload()
{
    if (m_bInDownload)
        return;
    m_bInDownload = true;
    m_dlg.OnDownload();
    m_bInDownload = false;
    if (m_dlg.m_nTransferState == 1)
        SetFineTimer(true);
    if (m_bCloseDeferred) {
        m_bCloseDeferred = false;
        OnCloseRequest();
    }
}

void CUpdateDlgWindow::OnCloseRequest()
{
    if (m_bInDownload) {
        m_bCloseDeferred = true;
        return;
    }
    if (m_bInClose)
        return; // the question is open already
    m_bInClose = true;
    bool bClose = m_dlg.OnClose();
    m_bInClose = false;
    if (!bClose)
        return;
    SetFineTimer(false);
    KillTimer(m_hWnd, CUpdateDlgDlg::kTimerId);
    EndDialog(m_hWnd, IDCANCEL);
}

void CUpdateDlgWindow::SetFineTimer(bool bOn)
{
    // Windows ticks timers about every 15.6 ms by default, which would make
    // the 10 ms stream about 1.5 times slower; ask for 1 ms while it runs.
    if (bOn == m_bFineTimer)
        return;
    if (bOn)
        m_bFineTimer = timeBeginPeriod(1) == TIMERR_NOERROR;
    else {
        timeEndPeriod(1);
        m_bFineTimer = false;
    }
}

bool CUpdateDlgWindow::DoDataExchange(bool bSaveAndValidate)
{
    if (!bSaveAndValidate) {
        SetDlgItemInt(m_hWnd, IDC_EDIT_COMPORT, static_cast<UINT>(m_nComPort), TRUE);
        return true;
    }
    BOOL bOk = FALSE;
    int nValue = static_cast<int>(GetDlgItemInt(m_hWnd, IDC_EDIT_COMPORT, &bOk, TRUE));
    if (!bOk || nValue < 1 || nValue > 256) {
        ShowMessage(texts::kBadComNumber, kMsgWarning);
        SetFocus(Item(IDC_EDIT_COMPORT));
        return false;
    }
    m_nComPort = nValue;
    return true;
}

void CUpdateDlgWindow::SetStatusText(const std::string& strText)
{
    SetDlgItemTextA(m_hWnd, IDC_STATUS, strText.c_str());
}

void CUpdateDlgWindow::SetProgress(int nPos)
{
    SendMessageA(Item(IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(nPos), 0);
}

void CUpdateDlgWindow::RepaintNow()
{
    // The message loop does not run while a tick waits for the unit: paint
    // the bar, then whatever else of the window is pending, right away.
    RedrawWindow(Item(IDC_PROGRESS), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE);
    RedrawWindow(m_hWnd, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

int CUpdateDlgWindow::ShowMessage(const std::string& strText, unsigned nType)
{
    return theApp.DoMessageBox(strText.c_str(), nType, 0);
}

void CUpdateDlgWindow::EnableDownload(bool bEnable)
{
    EnableWindow(Item(IDC_DOWNLOAD), bEnable ? TRUE : FALSE);
}

int CUpdateDlgWindow::GetComNumber()
{
    // Taken whole: a buddy text that is no valid number sets the high word,
    // which the logic then refuses as a COM number.
    return static_cast<int>(SendMessageA(Item(IDC_SPIN_PORT), UDM_GETPOS, 0, 0));
}

void CUpdateDlgWindow::SetComNumber(int nCom)
{
    SendMessageA(Item(IDC_SPIN_PORT), UDM_SETPOS, 0, MAKELPARAM(static_cast<WORD>(nCom), 0));
}

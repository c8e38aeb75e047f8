// The main window (template 102) on Win32: realises the window surface on
// its controls and routes the window's events to the portable update logic
// in CUpdateDlgDlg, which it carries, image buffer and all.
#pragma once

#include "update/UpdateDlgDlg.h"

#include <windows.h>

// Centres a dialog over its owner, or on the work area when it has none, as
// the framework places its dialogs.
void CenterDialog(HWND hDialog);

class CUpdateDlgWindow : public IWindowSurface
{
public:
    explicit CUpdateDlgWindow(HWND hParent = nullptr);
    virtual ~CUpdateDlgWindow();

    INT_PTR DoModal();
    HWND GetSafeHwnd() const { return m_hWnd; }

    // The window surface.
    void SetStatusText(const std::string& strText) override;
    void SetProgress(int nPos) override;
    void RepaintNow() override;
    int ShowMessage(const std::string& strText, unsigned nType) override;
    void EnableDownload(bool bEnable) override;
    int GetComNumber() override;
    void SetComNumber(int nCom) override;

    // Edit 1000 to and from m_nComPort; reading back checks 1..256.
    bool DoDataExchange(bool bSaveAndValidate);

    CUpdateDlgDlg m_dlg;
    int m_nComPort;
    HICON m_hIcon;

private:
    CUpdateDlgWindow(const CUpdateDlgWindow&) = delete;
    CUpdateDlgWindow& operator=(const CUpdateDlgWindow&) = delete;

    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam);

    BOOL OnInitDialog();
    bool OnSysCommand(UINT nID);
    bool OnPaint();
    void OnDownload();
    void OnCloseRequest();
    // The system timer resolution at 1 ms while a transfer streams.
    void SetFineTimer(bool bOn);
    HWND Item(int nId) const { return GetDlgItem(m_hWnd, nId); }

    HWND m_hParent;
    HWND m_hWnd;
    // A close request that arrives while Download is still talking to the
    // unit (from inside one of its message boxes) waits until it returns,
    // so that the port is not freed under it.
    bool m_bInDownload;
    bool m_bCloseDeferred;
    bool m_bInClose;
    bool m_bFineTimer;
};

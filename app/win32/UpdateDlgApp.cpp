#include "UpdateDlgApp.h"

#include "UpdateDlgWindow.h"
#include "update/WindowSurface.h"

#include <commctrl.h>

CUpdateDlgApp theApp;

CUpdateDlgApp::CUpdateDlgApp() : m_hInstance(nullptr), m_pMainWnd(nullptr)
{
}

CUpdateDlgApp::~CUpdateDlgApp()
{
}

BOOL CUpdateDlgApp::InitInstance()
{
    // The spin box and the progress bar are common controls.
    INITCOMMONCONTROLSEX icc;
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_UPDOWN_CLASS | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&icc);

    // A local of this function, image buffer included: the linker gives the
    // main thread a stack that holds it.
    CUpdateDlgWindow dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}

int CUpdateDlgApp::DoMessageBox(LPCSTR lpszPrompt, UINT nType, UINT)
{
    HWND hOwner = m_pMainWnd ? m_pMainWnd->GetSafeHwnd() : nullptr;
    return MessageBoxA(hOwner, lpszPrompt, kMessageCaption, nType);
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    theApp.m_hInstance = hInstance;
    theApp.InitInstance();
    return 0;
}

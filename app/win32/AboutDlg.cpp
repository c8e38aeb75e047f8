#include "AboutDlg.h"

#include "UpdateDlgApp.h"
#include "UpdateDlgWindow.h"
#include "resource.h"

INT_PTR CAboutDlg::DoModal(HWND hParent)
{
    return DialogBoxParamA(theApp.m_hInstance, MAKEINTRESOURCEA(IDD_ABOUTBOX), hParent, DialogProc, 0);
}

INT_PTR CALLBACK CAboutDlg::DialogProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM)
{
    switch (nMsg) {
    case WM_INITDIALOG:
        CenterDialog(hWnd);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(hWnd, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

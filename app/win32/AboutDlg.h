#pragma once

#include <windows.h>

// The About box (template 100).
class CAboutDlg
{
public:
    CAboutDlg() {}
    virtual ~CAboutDlg() {}
    INT_PTR DoModal(HWND hParent);

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);
};

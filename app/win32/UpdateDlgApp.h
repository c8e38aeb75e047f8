// The application object: its start-up runs the main window modally, and
// every message box of the program goes through its DoMessageBox.
#pragma once

#include <windows.h>

class CUpdateDlgWindow;

class CUpdateDlgApp
{
public:
    CUpdateDlgApp();
    virtual ~CUpdateDlgApp();

    // Runs the main window; false: the program ends when it closes.
    virtual BOOL InitInstance();
    // MessageBoxA owned by the main window with the program's caption; the
    // help id is not used. Returns the box's answer.
    virtual int DoMessageBox(LPCSTR lpszPrompt, UINT nType, UINT nIDPrompt);

    HINSTANCE m_hInstance;
    CUpdateDlgWindow* m_pMainWnd;
};

extern CUpdateDlgApp theApp;

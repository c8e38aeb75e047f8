// The application object: one per process; its start-up runs the main
// window modally, and every message box of the program goes through it.
#pragma once

#include <QApplication>
#include <QIcon>

#include <string>

class CUpdateDlgApp : public QApplication
{
    Q_OBJECT

public:
    CUpdateDlgApp(int& argc, char** argv);
    ~CUpdateDlgApp() override;

    // Start-up: the main window as a local object of this call, run modally
    // until it closes. Returns the process's exit status.
    int InitInstance();

    // The message-box hook: owner the main window, the program's caption,
    // the caller's type; the help id is ignored. Returns the answer.
    virtual int DoMessageBox(const std::string& strText, unsigned nType, unsigned nHelpId);

    // The window that owns the message boxes (null outside the modal run).
    QWidget* m_pMainWnd = nullptr;
};

// The application object, or null when the QApplication is another one.
CUpdateDlgApp* UpdateDlgApp();

// Icon 128: the program's artwork at 16, 24 and 32 pixels.
QIcon LoadProgramIcon();

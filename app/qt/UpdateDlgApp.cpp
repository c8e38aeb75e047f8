#include "UpdateDlgApp.h"

#include "MessageBox.h"
#include "UpdateDlgWindow.h"

CUpdateDlgApp::CUpdateDlgApp(int& argc, char** argv) : QApplication(argc, argv)
{
    setWindowIcon(LoadProgramIcon());
    // The modal run ends the program, not the last window closed: a message
    // box may outlive its owner by a moment.
    setQuitOnLastWindowClosed(false);
}

CUpdateDlgApp::~CUpdateDlgApp()
{
}

int CUpdateDlgApp::InitInstance()
{
    CUpdateDlgWindow dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return 0;
}

int CUpdateDlgApp::DoMessageBox(const std::string& strText, unsigned nType, unsigned)
{
    return RunMessageBox(m_pMainWnd, strText, nType);
}

CUpdateDlgApp* UpdateDlgApp()
{
    return qobject_cast<CUpdateDlgApp*>(QCoreApplication::instance());
}

QIcon LoadProgramIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/zt9047q-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/zt9047q-24.png"), QSize(24, 24));
    icon.addFile(QStringLiteral(":/icons/zt9047q-32.png"), QSize(32, 32));
    return icon;
}

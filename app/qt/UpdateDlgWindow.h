// The main window on Linux: template 102 in Qt widgets. It realises the
// window surface and hands every event to the portable CUpdateDlgDlg, which
// holds the update state (with its 512 KiB image buffer) as a member; the
// window therefore belongs on a stack that holds it, or on the heap.
#pragma once

#include "update/UpdateDlgDlg.h"

#include <QDialog>
#include <QIcon>

#include <cstdint>
#include <map>

class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;

class CUpdateDlgWindow : public QDialog, public IWindowSurface
{
    Q_OBJECT

public:
    // Control ids of the template, kept as the widgets' object names.
    enum {
        kIdComEdit = 1000,
        kIdProgress = 1004,
        kIdDownload = 1007,
        kIdStatus = 1008,
        kIdSpin = 1010,
        kIdClose = 57665,
    };
    static const int kSysAbout = 16; // the system command of the About box

    CUpdateDlgWindow(IClock& clock = SystemClock(), ICommDriver* pDriver = nullptr,
                     IPortSource* pPortSource = nullptr, IResourceSource* pResources = nullptr,
                     QWidget* pParent = nullptr);
    ~CUpdateDlgWindow() override;

    // Initialises the window (discovery and its message included), shows it
    // and runs it modally until a close request is granted.
    int DoModal();
    // The same initialisation and showing, without the modal loop of its own.
    void InitAndShow();

    // System commands: (nId & 0xFFF0) == 16 runs the About box.
    void OnSysCommand(unsigned nId, intptr_t lParam);

    // Window timers by their own ids (the logic runs only timer 1).
    void SetTimer(uintptr_t nIdEvent, int nElapseMs);
    void KillTimer(uintptr_t nIdEvent);
    bool TimerRunning(uintptr_t nIdEvent) const;

    // IWindowSurface
    void SetStatusText(const std::string& strText) override;
    void SetProgress(int nPos) override;
    void RepaintNow() override;
    int ShowMessage(const std::string& strText, unsigned nType) override;
    void EnableDownload(bool bEnable) override;
    int GetComNumber() override;
    void SetComNumber(int nCom) override;

    CUpdateDlgDlg& Logic() { return m_dlg; }
    QSpinBox* SpinPort() const { return m_pSpinPort; }
    QLabel* StaticStatus() const { return m_pStaticStatus; }
    QProgressBar* Progress() const { return m_pProgress; }
    QPushButton* DownloadButton() const { return m_pDownload; }
    QPushButton* CloseButton() const { return m_pClose; }
    const QIcon& Icon() const { return m_hIcon; }

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* pEvent) override;
    void timerEvent(QTimerEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;

private:
    void Initialise();
    void OnInitDialog();
    void OnDownload();
    // The one path of every close request: the logic's guard, then timer 1
    // stopped and the modal run ended. False when the operator said No.
    bool OnClose();
    void CreateControls();

    CUpdateDlgDlg m_dlg;
    QSpinBox* m_pSpinPort = nullptr;
    QLabel* m_pStaticStatus = nullptr;
    QProgressBar* m_pProgress = nullptr;
    QPushButton* m_pDownload = nullptr;
    QPushButton* m_pClose = nullptr;
    QGroupBox* m_pGroup = nullptr;
    QLabel* m_pComLabel = nullptr;
    QIcon m_hIcon;
    std::map<int, uintptr_t> m_timers; // Qt's timer id -> the window's id
    bool m_bClosed = false;
};

#include "UpdateDlgWindow.h"

#include "AboutDlg.h"
#include "DialogUnits.h"
#include "MessageBox.h"
#include "UpdateDlgApp.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTimerEvent>

namespace {

const char kCaption[] = "QNL ZT9047Q Firmware Update Version";
const char kAboutMenuText[] = "&About ZT9047Q Firmware Update...";

QString Latin1(const std::string& s)
{
    return QString::fromLatin1(s.data(), static_cast<int>(s.size()));
}

QLabel* StaticText(const char* pszText, QWidget* pParent)
{
    QLabel* pLabel = new QLabel(QString::fromLatin1(pszText), pParent);
    pLabel->setTextFormat(Qt::PlainText);
    pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    pLabel->setWordWrap(true);
    return pLabel;
}

} // namespace

CUpdateDlgWindow::CUpdateDlgWindow(IClock& clock, ICommDriver* pDriver, IPortSource* pPortSource,
                                   IResourceSource* pResources, QWidget* pParent)
    : QDialog(pParent),
      m_dlg(*this, clock, pDriver, pPortSource, pResources),
      m_hIcon(LoadProgramIcon())
{
    // A top-level window of its own (shown in the task bar) with a caption
    // and a close box, no minimise or maximise box: a modal frame.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromLatin1(kCaption));
    CreateControls();
}

CUpdateDlgWindow::~CUpdateDlgWindow()
{
    for (const auto& t : m_timers)
        killTimer(t.first);
}

void CUpdateDlgWindow::CreateControls()
{
    QFont font = DialogFont();
    setFont(font);
    CDialogUnits du(font);
    setFixedSize(du.Size(325, 84));

    // Created in the template's order, which is also the tab order.
    m_pGroup = new QGroupBox(this);
    m_pGroup->setGeometry(du.Rect(6, 4, 312, 54));

    m_pComLabel = StaticText("Com Port", this);
    m_pComLabel->setGeometry(du.Rect(18, 19, 39, 11));

    // Edit 1000 with its up-down 1010: the up-down aligns itself to the
    // edit's right edge inside the edit's rectangle, so one spin box covers
    // exactly that rectangle (the up-down's own template rectangle would
    // overlap the progress bar).
    m_pSpinPort = new QSpinBox(this);
    m_pSpinPort->setObjectName(QString::number(kIdSpin));
    m_pSpinPort->findChild<QLineEdit*>()->setObjectName(QString::number(kIdComEdit));
    m_pSpinPort->setWrapping(true);
    m_pSpinPort->setRange(0, 256);
    m_pSpinPort->setValue(0);
    m_pSpinPort->setGeometry(du.Rect(18, 32, 32, 13));

    m_pStaticStatus = StaticText("Static", this);
    m_pStaticStatus->setObjectName(QString::number(kIdStatus));
    m_pStaticStatus->setGeometry(du.Rect(60, 17, 250, 11));

    m_pProgress = new QProgressBar(this);
    m_pProgress->setObjectName(QString::number(kIdProgress));
    m_pProgress->setTextVisible(false);
    m_pProgress->setGeometry(du.Rect(58, 31, 200, 14));

    m_pDownload = new QPushButton(QStringLiteral("Download"), this);
    m_pDownload->setObjectName(QString::number(kIdDownload));
    m_pDownload->setGeometry(du.Rect(259, 31, 51, 14));
    connect(m_pDownload, &QPushButton::clicked, this, &CUpdateDlgWindow::OnDownload);

    m_pClose = new QPushButton(QStringLiteral("Close"), this);
    m_pClose->setObjectName(QString::number(kIdClose));
    m_pClose->setGeometry(du.Rect(138, 65, 50, 14));
    m_pClose->setDefault(true);
    // The exit command arrives as a close request, the title bar's path.
    connect(m_pClose, &QPushButton::clicked, this, &QWidget::close);
}

int CUpdateDlgWindow::DoModal()
{
    // exec() shows the window; modality only takes hold on a hidden one.
    Initialise();
    return exec();
}

void CUpdateDlgWindow::InitAndShow()
{
    Initialise();
    show();
}

void CUpdateDlgWindow::Initialise()
{
    m_bClosed = false;
    OnInitDialog();
    m_pSpinPort->setFocus(Qt::OtherFocusReason); // the first tab stop
}

void CUpdateDlgWindow::OnInitDialog()
{
    setWindowIcon(m_hIcon);
    m_pProgress->setRange(0, 100);
    m_pProgress->setValue(0);
    m_pSpinPort->setRange(1, 256);

    m_dlg.OnInitDialog();

    setWindowTitle(QString::fromLatin1(kCaption) + Latin1(CUpdateDlgDlg::CaptionVersionSuffix()));
    SetTimer(CUpdateDlgDlg::kTimerId, static_cast<int>(CUpdateDlgDlg::kTimerPeriodMs));
}

void CUpdateDlgWindow::OnDownload()
{
    m_dlg.OnDownload();
}

bool CUpdateDlgWindow::OnClose()
{
    if (m_bClosed)
        return true;
    if (!m_dlg.OnClose())
        return false;
    KillTimer(CUpdateDlgDlg::kTimerId);
    m_bClosed = true;
    QDialog::done(QDialog::Rejected);
    return true;
}

void CUpdateDlgWindow::closeEvent(QCloseEvent* pEvent)
{
    if (OnClose())
        pEvent->accept();
    else
        pEvent->ignore();
}

void CUpdateDlgWindow::reject()
{
    // Esc: QDialog would end the modal run here without a close event.
    OnClose();
}

void CUpdateDlgWindow::contextMenuEvent(QContextMenuEvent* pEvent)
{
    // The window menu belongs to the window manager here; the window's own
    // context menu carries the About box's system command instead.
    QMenu menu(this);
    QAction* pAbout = menu.addAction(QString::fromLatin1(kAboutMenuText));
    if (menu.exec(pEvent->globalPos()) == pAbout)
        OnSysCommand(kSysAbout, 0);
}

void CUpdateDlgWindow::OnSysCommand(unsigned nId, intptr_t)
{
    if ((nId & 0xFFF0) == kSysAbout) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CUpdateDlgWindow::SetTimer(uintptr_t nIdEvent, int nElapseMs)
{
    KillTimer(nIdEvent);
    int nQtId = startTimer(nElapseMs, Qt::PreciseTimer);
    if (nQtId != 0)
        m_timers[nQtId] = nIdEvent;
}

void CUpdateDlgWindow::KillTimer(uintptr_t nIdEvent)
{
    for (auto it = m_timers.begin(); it != m_timers.end();) {
        if (it->second == nIdEvent) {
            killTimer(it->first);
            it = m_timers.erase(it);
        } else {
            ++it;
        }
    }
}

bool CUpdateDlgWindow::TimerRunning(uintptr_t nIdEvent) const
{
    for (const auto& t : m_timers) {
        if (t.second == nIdEvent)
            return true;
    }
    return false;
}

void CUpdateDlgWindow::timerEvent(QTimerEvent* pEvent)
{
    auto it = m_timers.find(pEvent->timerId());
    if (it == m_timers.end()) {
        QDialog::timerEvent(pEvent);
        return;
    }
    m_dlg.OnTimer(it->second);
}

void CUpdateDlgWindow::SetStatusText(const std::string& strText)
{
    m_pStaticStatus->setText(Latin1(strText));
    // The handshake holds the loop for seconds: show each stage as it comes.
    if (m_pStaticStatus->isVisible())
        m_pStaticStatus->repaint();
}

void CUpdateDlgWindow::SetProgress(int nPos)
{
    m_pProgress->setValue(nPos);
}

void CUpdateDlgWindow::RepaintNow()
{
    m_pProgress->repaint();
    repaint();
}

int CUpdateDlgWindow::ShowMessage(const std::string& strText, unsigned nType)
{
    if (CUpdateDlgApp* pApp = UpdateDlgApp())
        return pApp->DoMessageBox(strText, nType, 0);
    return RunMessageBox(this, strText, nType);
}

void CUpdateDlgWindow::EnableDownload(bool bEnable)
{
    m_pDownload->setEnabled(bEnable);
}

int CUpdateDlgWindow::GetComNumber()
{
    // The up-down reads its buddy's text: a number in range is the
    // position; anything else is an error, reported in the high word above
    // the last valid position, and the logic refuses it.
    bool bOk = false;
    QString strText = m_pSpinPort->text().trimmed();
    int n = strText.toInt(&bOk);
    if (bOk && n >= m_pSpinPort->minimum() && n <= m_pSpinPort->maximum())
        return n;
    return 0x10000 | (m_pSpinPort->value() & 0xFFFF);
}

void CUpdateDlgWindow::SetComNumber(int nCom)
{
    m_pSpinPort->setValue(nCom);
    // A number outside the range is shown as it came, not clamped onto
    // another port: reading it back then gives the error value.
    if (nCom != m_pSpinPort->value())
        m_pSpinPort->findChild<QLineEdit*>()->setText(QString::number(nCom));
}

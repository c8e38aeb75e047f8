// What the window tests share: a port list made to order, an in-process
// instrument on virtual time behind the port seam, and a watcher that
// answers message boxes from inside their own nested loops.
#pragma once

#include "UpdateDlgApp.h"
#include "UpdateDlgWindow.h"
#include "discovery/EnumSerialPorts.h"
#include "sim/InstrumentModel.h"
#include "sim/SimCommDriver.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CListPortSource : public IPortSource
{
public:
    void Add(const std::string& strPath, const std::string& strDisplayName)
    {
        SSerInfo info;
        info.strPath = strPath;
        info.strDisplayName = strDisplayName;
        m_ports.push_back(info);
    }
    void Enumerate(CSerInfoArray& list) override
    {
        ++m_nEnumerations;
        if (!m_strThrow.empty())
            throw m_strThrow;
        for (SSerInfo& info : m_ports)
            list.Add(info);
    }
    bool CanOpen(const std::string&) override { return true; }

    std::vector<SSerInfo> m_ports;
    std::string m_strThrow; // the failure text that Enumerate throws
    int m_nEnumerations = 0;
};

// One message box as the operator saw it.
struct SBoxSeen
{
    QString strTitle;
    QString strText;
    QMessageBox::Icon eIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton eDefault;
    QWidget* pParent;
    // Frames the unit had received when the box appeared and when it went.
    int nSendsAtOpen;
    int nSendsAtAnswer;
};

// Polls for the active modal message box. Decide() returns the button to
// click, or NoButton to leave the box open a while longer.
class CBoxAnswerer : public QObject
{
public:
    typedef std::function<QMessageBox::StandardButton(QMessageBox& box, int nIndex)> Decide;

    explicit CBoxAnswerer(Decide decide = Decide(), std::function<int()> sends = std::function<int()>())
        : m_decide(decide), m_sends(sends)
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { Poll(); });
        m_timer.start();
    }

    static QMessageBox::StandardButton First(QMessageBox& box, int)
    {
        return box.standardButton(box.defaultButton());
    }

    int Count() const { return static_cast<int>(m_seen.size()); }
    const SBoxSeen& At(int i) const { return m_seen.at(static_cast<size_t>(i)); }
    int Answered() const { return m_nAnswered; }

    std::vector<SBoxSeen> m_seen;

private:
    void Poll()
    {
        QMessageBox* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!pBox || !pBox->isVisible())
            return;
        int nIndex = -1;
        for (size_t i = 0; i < m_known.size(); ++i) {
            if (m_known[i] == pBox)
                nIndex = static_cast<int>(i);
        }
        if (nIndex < 0) {
            SBoxSeen seen;
            seen.strTitle = pBox->windowTitle();
            seen.strText = pBox->text();
            seen.eIcon = pBox->icon();
            seen.buttons = pBox->standardButtons();
            seen.eDefault = pBox->defaultButton() ? pBox->standardButton(pBox->defaultButton()) : QMessageBox::NoButton;
            seen.pParent = pBox->parentWidget();
            seen.nSendsAtOpen = m_sends ? m_sends() : 0;
            seen.nSendsAtAnswer = -1;
            m_seen.push_back(seen);
            m_known.push_back(QPointer<QMessageBox>(pBox));
            nIndex = Count() - 1;
        }
        QMessageBox::StandardButton eAnswer = m_decide ? m_decide(*pBox, nIndex) : First(*pBox, nIndex);
        if (eAnswer == QMessageBox::NoButton || !pBox->button(eAnswer))
            return;
        m_seen[static_cast<size_t>(nIndex)].nSendsAtAnswer = m_sends ? m_sends() : 0;
        ++m_nAnswered;
        pBox->button(eAnswer)->click();
    }

    Decide m_decide;
    std::function<int()> m_sends;
    QTimer m_timer;
    std::vector<QPointer<QMessageBox>> m_known;
    int m_nAnswered = 0;
};

// A window on an in-process instrument at COM5.
struct SWindowRig
{
    explicit SWindowRig(const SSimConfig& config = SSimConfig(), bool bListed = true)
        : model(config), driver(model, clock, "COM5")
    {
        ports.Add("/dev/ttyUSB7", "Some Other Bridge (COM40)");
        if (bListed)
            ports.Add("/dev/ttyS4", "ZT9047Q USB UART (COM5)");
        pWindow.reset(new CUpdateDlgWindow(clock, &driver, &ports));
        if (CUpdateDlgApp* pApp = UpdateDlgApp())
            pApp->m_pMainWnd = pWindow.get();
    }
    ~SWindowRig()
    {
        if (CUpdateDlgApp* pApp = UpdateDlgApp())
            pApp->m_pMainWnd = nullptr;
    }
    CUpdateDlgWindow& Win() { return *pWindow; }
    CUpdateDlgDlg& Logic() { return pWindow->Logic(); }
    int Sends() const { return model.FrameSends(); }

    CInstrumentModel model;
    CVirtualClock clock;
    CSimCommDriver driver;
    CListPortSource ports;
    std::unique_ptr<CUpdateDlgWindow> pWindow;
};

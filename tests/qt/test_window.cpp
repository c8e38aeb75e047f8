// The Linux window on the offscreen platform: start-up, layout, message
// boxes, whole runs and their ends, and the close guard on every path. The
// instrument runs in process on virtual time; only the 10 ms ticks are real.
#include "AboutDlg.h"
#include "BuildVersion.h"
#include "DialogUnits.h"
#include "MessageBox.h"
#include "QtRig.h"
#include "update/FirmwareImage.h"
#include "update/UpdateDlgDlg.h"

#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

namespace {

const char kNotFoundShown[] = "ZT9047Q USB communication port not found.\n"
                              "Check USB connection to ZT9047Q and restart program.";
const char kCloseQuestionShown[] = "Warning, data transfer in progress.\n"
                                   "Terminating the transfer before completion\n"
                                   "will result in unpredictable ZT9047Q operation.\n"
                                   "\n"
                                   "Are you sure you want to exit?";
const char kCompleted[] = "ZT9047Q firmware updated to version " ZT_FIRMWARE_VERSION_TEXT;

enum ECloseBy { kByButton, kByTitleBar, kByEscape };

void RequestClose(CUpdateDlgWindow& win, int eBy)
{
    switch (eBy) {
    case kByButton:
        QTest::mouseClick(win.CloseButton(), Qt::LeftButton);
        break;
    case kByTitleBar:
        win.close(); // what the window manager's close box delivers
        break;
    default: {
        QWidget* pTarget = win.focusWidget() ? win.focusWidget() : &win;
        QTest::keyClick(pTarget, Qt::Key_Escape);
        break;
    }
    }
}

void AddClosePaths()
{
    QTest::addColumn<int>("by");
    QTest::newRow("Close button") << int(kByButton);
    QTest::newRow("title bar") << int(kByTitleBar);
    QTest::newRow("Esc") << int(kByEscape);
}

bool Streaming(SWindowRig& rig)
{
    return rig.Logic().m_nTransferState != 0;
}

} // namespace

class CWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void opensWithTheFoundPort();
    void opensWithOneWhenNotFound_data();
    void opensWithOneWhenNotFound();
    void layoutFollowsTheTemplate();
    void comNumberSpinBox();
    void messageBoxTypes();
    void wholeUpdate();
    void everyEndEnablesDownload_data();
    void everyEndEnablesDownload();
    void closeWhileIdle_data();
    void closeWhileIdle();
    void closeWhileStreaming_data();
    void closeWhileStreaming();
    void runEndsUnderTheCloseQuestion();
    void aboutBoxBySystemCommand();
    void startUpRunsTheWindowModally();
};

void CWindowTest::opensWithTheFoundPort()
{
    SWindowRig rig;
    rig.ports.m_ports.clear();
    rig.ports.Add("/dev/ttyS0", "Communications Port (COM1)");
    rig.ports.Add("/dev/ttyUSB0", "ZT9047Q USB UART (COM33)");
    CBoxAnswerer boxes;
    rig.Win().InitAndShow();
    QTest::qWait(30);

    QCOMPARE(boxes.Count(), 0);
    QVERIFY(rig.Win().isVisible());
    QCOMPARE(rig.Win().SpinPort()->value(), 33);
    QCOMPARE(rig.Win().SpinPort()->text(), QStringLiteral("33"));
    QCOMPARE(rig.Win().GetComNumber(), 33);
    QCOMPARE(rig.Win().windowTitle(), QStringLiteral("QNL ZT9047Q Firmware Update Version " ZT_FIRMWARE_VERSION_TEXT));
    QCOMPARE(rig.Win().StaticStatus()->text(), QStringLiteral("Waiting to download..."));
    QCOMPARE(rig.Win().Progress()->minimum(), 0);
    QCOMPARE(rig.Win().Progress()->maximum(), 100);
    QCOMPARE(rig.Win().Progress()->value(), 0);
    QVERIFY(rig.Win().DownloadButton()->isEnabled());
    QVERIFY(rig.Win().CloseButton()->isDefault());
    QVERIFY(rig.Win().TimerRunning(1));
    QCOMPARE(rig.Logic().m_nTransferState, 0);
    QVERIFY(rig.Logic().m_pPort == nullptr);
    QCOMPARE(rig.ports.m_nEnumerations, 1);
    // Icon 128 in all three sizes.
    QList<QSize> sizes = rig.Win().windowIcon().availableSizes();
    QVERIFY(sizes.contains(QSize(16, 16)));
    QVERIFY(sizes.contains(QSize(24, 24)));
    QVERIFY(sizes.contains(QSize(32, 32)));
    // Idle ticks send nothing.
    QCOMPARE(rig.driver.m_nOpens, 0);
}

void CWindowTest::opensWithOneWhenNotFound_data()
{
    QTest::addColumn<QString>("thrown");
    QTest::newRow("no matching port") << QString();
    QTest::newRow("enumeration fails") << QStringLiteral("Could not read from /sys/class/tty. (err=d)");
}

void CWindowTest::opensWithOneWhenNotFound()
{
    QFETCH(QString, thrown);
    SWindowRig rig(SSimConfig(), false);
    rig.ports.m_strThrow = thrown.toStdString();
    CBoxAnswerer boxes;
    rig.Win().InitAndShow();
    QTest::qWait(30);

    int nFirst = 0;
    if (!thrown.isEmpty()) {
        // The failure is shown, then handled as no port found.
        QVERIFY(boxes.Count() >= 1);
        QCOMPARE(boxes.At(0).strText, thrown);
        QCOMPARE(boxes.At(0).eIcon, QMessageBox::Warning);
        nFirst = 1;
    }
    QCOMPARE(boxes.Count(), nFirst + 1);
    const SBoxSeen& box = boxes.At(nFirst);
    QCOMPARE(box.strText, QString::fromLatin1(kNotFoundShown));
    QCOMPARE(box.strTitle, QStringLiteral("ZT9047Q Firmware Update"));
    QCOMPARE(box.eIcon, QMessageBox::NoIcon);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.pParent, &rig.Win());

    QVERIFY(rig.Win().isVisible());
    QCOMPARE(rig.Win().SpinPort()->value(), 1);
    QCOMPARE(rig.Win().StaticStatus()->text(), QStringLiteral("Waiting to download..."));
    QVERIFY(rig.Win().TimerRunning(1));
    QVERIFY(rig.Win().DownloadButton()->isEnabled());
}

void CWindowTest::layoutFollowsTheTemplate()
{
    // Windows' rounding (MulDiv) with the base units of an 8 pt sans font.
    CDialogUnits fixed(6, 13);
    QCOMPARE(fixed.Size(325, 84), QSize(488, 137));
    QCOMPARE(fixed.Rect(49, 30, 11, 16), QRect(74, 49, 17, 26));
    QCOMPARE(MulDivRound(-5, 6, 4), -8);

    SWindowRig rig;
    CBoxAnswerer boxes;
    rig.Win().InitAndShow();
    CUpdateDlgWindow& win = rig.Win();
    CDialogUnits du(DialogFont());
    QVERIFY(du.CharWidth() >= 4 && du.CharWidth() <= 9);
    QVERIFY(du.CharHeight() >= 10 && du.CharHeight() <= 18);
    QCOMPARE(win.size(), du.Size(325, 84));
    QCOMPARE(win.minimumSize(), win.maximumSize()); // a fixed frame

    QGroupBox* pGroup = win.findChild<QGroupBox*>();
    QVERIFY(pGroup);
    QCOMPARE(pGroup->geometry(), du.Rect(6, 4, 312, 54));
    QCOMPARE(pGroup->title(), QString());

    QLabel* pComLabel = nullptr;
    for (QLabel* p : win.findChildren<QLabel*>()) {
        if (p->text() == QStringLiteral("Com Port"))
            pComLabel = p;
    }
    QVERIFY(pComLabel);
    QCOMPARE(pComLabel->geometry(), du.Rect(18, 19, 39, 11));
    QCOMPARE(win.SpinPort()->geometry(), du.Rect(18, 32, 32, 13));
    QVERIFY(win.findChild<QLineEdit*>(QStringLiteral("1000")));
    QCOMPARE(win.StaticStatus()->geometry(), du.Rect(60, 17, 250, 11));
    QCOMPARE(win.Progress()->geometry(), du.Rect(58, 31, 200, 14));
    QCOMPARE(win.DownloadButton()->geometry(), du.Rect(259, 31, 51, 14));
    QCOMPARE(win.CloseButton()->geometry(), du.Rect(138, 65, 50, 14));
    QCOMPARE(win.DownloadButton()->text(), QStringLiteral("Download"));
    QCOMPARE(win.CloseButton()->text(), QStringLiteral("Close"));
    QCOMPARE(win.Progress()->isTextVisible(), false);

    // Nothing clipped: every text fits its control, the longest status text
    // included.
    QFontMetrics fm(win.font());
    QVERIFY(fm.horizontalAdvance(QStringLiteral("Com Port")) <= pComLabel->width());
    QVERIFY(fm.height() <= pComLabel->height());
    QVERIFY(fm.horizontalAdvance(QStringLiteral("Downloading new firmware...")) <= win.StaticStatus()->width());
    QVERIFY(fm.horizontalAdvance(QStringLiteral("Download")) + 8 <= win.DownloadButton()->width());
    QVERIFY(fm.horizontalAdvance(QStringLiteral("256")) < win.SpinPort()->width() - du.X(11));
    // Every control inside the window.
    for (QWidget* p : win.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        QVERIFY2(win.rect().contains(p->geometry()), qPrintable(p->objectName()));
}

void CWindowTest::comNumberSpinBox()
{
    SWindowRig rig;
    CBoxAnswerer boxes;
    rig.Win().InitAndShow();
    QSpinBox* pSpin = rig.Win().SpinPort();
    QCOMPARE(pSpin->minimum(), 1);
    QCOMPARE(pSpin->maximum(), 256);

    // Wrapping at both ends.
    pSpin->setValue(256);
    pSpin->stepUp();
    QCOMPARE(rig.Win().GetComNumber(), 1);
    pSpin->stepDown();
    QCOMPARE(rig.Win().GetComNumber(), 256);

    // Digits only, read back from the edit.
    QLineEdit* pEdit = rig.Win().findChild<QLineEdit*>(QStringLiteral("1000"));
    pEdit->clear();
    QTest::keyClicks(pEdit, QStringLiteral("1x2"));
    QCOMPARE(pEdit->text(), QStringLiteral("12"));
    QCOMPARE(rig.Win().GetComNumber(), 12);

    // Text that is no position reads back as an error value, which the logic
    // refuses without opening anything.
    pEdit->clear();
    int nError = rig.Win().GetComNumber();
    QVERIFY(nError > 256);
    QTest::mouseClick(rig.Win().DownloadButton(), Qt::LeftButton);
    QCOMPARE(boxes.Count(), 1);
    QCOMPARE(boxes.At(0).strText, QString::fromLatin1(texts::kBadComNumber));
    QCOMPARE(rig.driver.m_nOpens, 0);
    QVERIFY(rig.Win().DownloadButton()->isEnabled());

    // A found number beyond the range is not clamped onto another port.
    rig.Win().SetComNumber(300);
    QCOMPARE(pEdit->text(), QStringLiteral("300"));
    QVERIFY(rig.Win().GetComNumber() > 256);
    rig.Win().SetComNumber(9);
    QCOMPARE(rig.Win().GetComNumber(), 9);
}

void CWindowTest::messageBoxTypes()
{
    SWindowRig rig;
    CBoxAnswerer boxes([](QMessageBox& box, int nIndex) {
        // Questions: Yes for the first, No for the second.
        if (box.standardButtons() & QMessageBox::Yes)
            return nIndex == 2 ? QMessageBox::Yes : QMessageBox::No;
        return QMessageBox::Ok;
    });
    rig.Win().show();
    CUpdateDlgApp* pApp = UpdateDlgApp();
    QVERIFY(pApp);
    QCOMPARE(pApp->DoMessageBox("one\r\ntwo\rthree", kMsgOk, 99), kAnswerOk);
    QCOMPARE(pApp->DoMessageBox("warn", kMsgWarning, 0), kAnswerOk);
    QCOMPARE(pApp->DoMessageBox("stop?", kMsgStopQuestion, 0), kAnswerYes);
    QCOMPARE(pApp->DoMessageBox("warn?", kMsgWarningQuestion, 0), kAnswerNo);
    QCOMPARE(boxes.Count(), 4);

    QCOMPARE(boxes.At(0).strText, QStringLiteral("one\ntwo\nthree"));
    const QMessageBox::Icon icons[] = {QMessageBox::NoIcon, QMessageBox::Warning, QMessageBox::Critical,
                                       QMessageBox::Warning};
    for (int i = 0; i < 4; ++i) {
        const SBoxSeen& box = boxes.At(i);
        QCOMPARE(box.strTitle, QStringLiteral("ZT9047Q Firmware Update"));
        QCOMPARE(box.eIcon, icons[i]);
        QCOMPARE(box.pParent, &rig.Win());
        if (i < 2) {
            QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        } else {
            QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::No);
            QCOMPARE(box.eDefault, QMessageBox::Yes); // the first button, as on Windows
        }
    }

    // Esc on a question is No.
    CBoxAnswerer escape([](QMessageBox& box, int) {
        QTest::keyClick(&box, Qt::Key_Escape);
        return QMessageBox::NoButton;
    });
    QCOMPARE(pApp->DoMessageBox("stop?", kMsgStopQuestion, 0), kAnswerNo);
}

void CWindowTest::wholeUpdate()
{
    SWindowRig rig;
    std::vector<int> progress;
    std::vector<bool> enabledAtProgress;
    connect(rig.Win().Progress(), &QProgressBar::valueChanged, this, [&](int n) {
        progress.push_back(n);
        enabledAtProgress.push_back(rig.Win().DownloadButton()->isEnabled());
    });
    // The end's box stays open for six periods: the ticks under it find the
    // stream over, so nothing goes out meanwhile.
    QElapsedTimer boxOpen;
    bool bEnabledUnderDoneBox = true;
    CBoxAnswerer boxes(
        [&](QMessageBox&, int) {
            if (!boxOpen.isValid()) {
                boxOpen.start();
                bEnabledUnderDoneBox = rig.Win().DownloadButton()->isEnabled();
            }
            return boxOpen.elapsed() < 60 ? QMessageBox::NoButton : QMessageBox::Ok;
        },
        [&] { return rig.Sends(); });
    rig.Win().InitAndShow();
    QCOMPARE(rig.Win().GetComNumber(), 5);

    progress.clear();
    enabledAtProgress.clear();
    QTest::mouseClick(rig.Win().DownloadButton(), Qt::LeftButton);
    // The handshake ran inside the click; the stream waits for the ticks.
    QCOMPARE(rig.Logic().m_nTransferState, 1);
    QVERIFY(!rig.Win().DownloadButton()->isEnabled());
    QCOMPARE(rig.Win().StaticStatus()->text(), QStringLiteral("Downloading new firmware..."));
    QCOMPARE(rig.driver.m_strLastName, std::string("COM5"));

    QVERIFY(QTest::qWaitFor([&] { return boxes.Answered() == 1; }, 30000));
    QCOMPARE(boxes.At(0).nSendsAtAnswer, boxes.At(0).nSendsAtOpen);
    QVERIFY(!bEnabledUnderDoneBox); // the reset follows the box
    QVERIFY(rig.Win().DownloadButton()->isEnabled());

    QCOMPARE(boxes.Count(), 1);
    QCOMPARE(boxes.At(0).strText, QString::fromLatin1(kCompleted));
    QCOMPARE(boxes.At(0).eIcon, QMessageBox::NoIcon);
    QVERIFY(rig.Logic().LastRunCompleted());
    QCOMPARE(rig.model.FramesAccepted(), ZT_FIRMWARE_FRAMES);
    std::vector<uint8_t> image(CUpdateDlgDlg::kImageBufferSize);
    int nLength = rig.Logic().LoadFirmwareImage(image.data());
    image.resize(static_cast<size_t>(nLength));
    QVERIFY(rig.model.AcceptedImage() == image);

    // The bar moved up step by step while Download stayed disabled, and the
    // reset brought it back to 0.
    QVERIFY(progress.size() > 50);
    QCOMPARE(progress.back(), 0);
    int nMax = 0;
    for (size_t i = 0; i + 1 < progress.size(); ++i) {
        QVERIFY(progress[i] >= nMax);
        nMax = progress[i];
        QVERIFY(!enabledAtProgress[i]);
    }
    QVERIFY(nMax >= 95 && nMax < 100);
    QCOMPARE(rig.Win().StaticStatus()->text(), QStringLiteral("Waiting to download..."));
    QVERIFY(rig.Logic().m_pPort == nullptr);
    QCOMPARE(rig.driver.m_nOpenHandles, 0);
    QVERIFY(rig.Win().TimerRunning(1));
}

void CWindowTest::everyEndEnablesDownload_data()
{
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("message"); // %1: bytes acknowledged
    QTest::addColumn<bool>("streamed");
    QTest::newRow("silence") << "silence" << "Firmware update failed %1 3 %1.\nZT9047Q is not responding." << true;
    QTest::newRow("rejects") << "rejects" << "Firmware update failed.\nData send = %1. Frames sent = 2" << true;
    QTest::newRow("no answer") << "unit silent" << "ZT9047Q did not respond." << false;
    QTest::newRow("no sign") << "no sign" << "ZT9047Q bootloader not responding." << false;
    QTest::newRow("port held") << "held" << "Error: COM5 in use or does not exist." << false;
}

void CWindowTest::everyEndEnablesDownload()
{
    QFETCH(QString, end);
    QFETCH(QString, message);
    QFETCH(bool, streamed);
    SSimConfig config;
    if (end == QLatin1String("silence"))
        config.nSilentFrame = 3;
    else if (end == QLatin1String("rejects")) {
        config.nRejectFrame = 2;
        config.nRejectCount = 1000;
    } else if (end == QLatin1String("unit silent"))
        config.bSilent = true;
    else if (end == QLatin1String("no sign"))
        config.bNoSign = true;
    SWindowRig rig(config);
    rig.driver.m_bHeld = end == QLatin1String("held");
    bool bDisabledAtEnd = false;
    CBoxAnswerer boxes([&](QMessageBox&, int) {
        bDisabledAtEnd = !rig.Win().DownloadButton()->isEnabled();
        return QMessageBox::Ok;
    });
    rig.Win().InitAndShow();
    QTest::mouseClick(rig.Win().DownloadButton(), Qt::LeftButton);
    QCOMPARE(rig.Logic().m_nTransferState != 0, streamed);
    QVERIFY(QTest::qWaitFor([&] { return boxes.Answered() == 1 && !Streaming(rig); }, 20000));
    QTest::qWait(20);

    if (message.contains(QLatin1String("%1"))) {
        // The bytes of the frames acknowledged before the end.
        int nFrames = end == QLatin1String("silence") ? 3 : 2;
        int nBytes = 0;
        for (int i = 0; i < nFrames; ++i)
            nBytes += FrameLengthAt(rig.Logic().m_image, nBytes);
        message = message.arg(nBytes);
    }
    QCOMPARE(boxes.Count(), 1);
    QCOMPARE(boxes.At(0).strText, message);
    QCOMPARE(bDisabledAtEnd, streamed);
    QVERIFY(rig.Win().DownloadButton()->isEnabled());
    QCOMPARE(rig.Win().Progress()->value(), 0);
    QCOMPARE(rig.Win().StaticStatus()->text(), QStringLiteral("Waiting to download..."));
    QCOMPARE(rig.driver.m_nOpenHandles, 0);
    if (end == QLatin1String("rejects"))
        QCOMPARE(rig.model.FrameSends(), 2 + 100);
}

void CWindowTest::closeWhileIdle_data()
{
    AddClosePaths();
}

void CWindowTest::closeWhileIdle()
{
    QFETCH(int, by);
    SWindowRig rig;
    CBoxAnswerer boxes;
    rig.Win().InitAndShow();
    QVERIFY(rig.Win().isVisible());
    RequestClose(rig.Win(), by);
    // At once: no question, no loop turn needed.
    QVERIFY(!rig.Win().isVisible());
    QVERIFY(!rig.Win().TimerRunning(1));
    QCOMPARE(rig.Win().result(), int(QDialog::Rejected));
    QTest::qWait(20);
    QCOMPARE(boxes.Count(), 0);
}

void CWindowTest::closeWhileStreaming_data()
{
    AddClosePaths();
}

void CWindowTest::closeWhileStreaming()
{
    QFETCH(int, by);
    SWindowRig rig;
    const int kFramesUnderQuestion = 5;
    CBoxAnswerer boxes(
        [&](QMessageBox& box, int nIndex) {
            if (box.text() != QLatin1String(kCloseQuestionShown))
                return QMessageBox::Ok;
            if (nIndex == 0) {
                // No, once frames went on going out under the question.
                if (rig.Sends() < boxes.At(0).nSendsAtOpen + kFramesUnderQuestion)
                    return QMessageBox::NoButton;
                return QMessageBox::No;
            }
            return QMessageBox::Yes;
        },
        [&] { return rig.Sends(); });
    rig.Win().InitAndShow();
    QTest::mouseClick(rig.Win().DownloadButton(), Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return rig.Sends() >= 3; }, 5000));

    RequestClose(rig.Win(), by); // returns when the question has been answered
    QCOMPARE(boxes.Count(), 1);
    QCOMPARE(boxes.At(0).strText, QString::fromLatin1(kCloseQuestionShown));
    QCOMPARE(boxes.At(0).eIcon, QMessageBox::Critical);
    QCOMPARE(boxes.At(0).buttons, QMessageBox::Yes | QMessageBox::No);
    QVERIFY(boxes.At(0).nSendsAtAnswer >= boxes.At(0).nSendsAtOpen + kFramesUnderQuestion);
    // No: the window stays and the stream goes on.
    QVERIFY(rig.Win().isVisible());
    QVERIFY(rig.Win().TimerRunning(1));
    int nSends = rig.Sends();
    QVERIFY(QTest::qWaitFor([&] { return rig.Sends() >= nSends + 3; }, 2000));
    QVERIFY(Streaming(rig));
    QVERIFY(!rig.Win().DownloadButton()->isEnabled());

    // Yes: the port goes, the timer stops, the window closes.
    RequestClose(rig.Win(), by);
    QCOMPARE(boxes.Count(), 2);
    QVERIFY(!rig.Win().isVisible());
    QVERIFY(!rig.Win().TimerRunning(1));
    QVERIFY(rig.Logic().m_pPort == nullptr);
    QCOMPARE(rig.driver.m_nOpenHandles, 0);
    QCOMPARE(rig.Logic().m_nTransferState, 0);
    nSends = rig.Sends();
    QTest::qWait(50);
    QCOMPARE(rig.Sends(), nSends);
    QVERIFY(rig.model.FramesAccepted() < ZT_FIRMWARE_FRAMES);
}

void CWindowTest::runEndsUnderTheCloseQuestion()
{
    // The operator leaves the close question open until the run has ended
    // (with its own box on top), then says No: the window stays, idle.
    SWindowRig rig;
    CBoxAnswerer boxes([&](QMessageBox& box, int) {
        if (box.text() == QLatin1String(kCloseQuestionShown))
            return Streaming(rig) || boxes.Count() < 2 ? QMessageBox::NoButton : QMessageBox::No;
        return QMessageBox::Ok;
    });
    rig.Win().InitAndShow();
    QTest::mouseClick(rig.Win().DownloadButton(), Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return rig.Sends() >= 1; }, 5000));
    rig.Win().close();

    QCOMPARE(boxes.Count(), 2);
    QCOMPARE(boxes.At(1).strText, QString::fromLatin1(kCompleted));
    QCOMPARE(boxes.At(1).pParent, &rig.Win());
    QVERIFY(rig.Logic().LastRunCompleted());
    QVERIFY(rig.Win().isVisible());
    QVERIFY(rig.Win().TimerRunning(1));
    QVERIFY(rig.Win().DownloadButton()->isEnabled());
    // Idle now: the next close needs no question.
    rig.Win().close();
    QVERIFY(!rig.Win().isVisible());
    QCOMPARE(boxes.Count(), 2);
}

void CWindowTest::aboutBoxBySystemCommand()
{
    SWindowRig rig;
    CBoxAnswerer boxes;
    rig.Win().InitAndShow();

    struct SAboutSeen
    {
        QString strTitle, strVersion, strNotice;
        bool bIcon = false, bDefault = false;
        int nShown = 0;
    } seen;
    QTimer watcher;
    watcher.setInterval(5);
    connect(&watcher, &QTimer::timeout, this, [&] {
        if (QMenu* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            QVERIFY(!pMenu->actions().isEmpty());
            pMenu->setActiveAction(pMenu->actions().first());
            QTest::keyClick(pMenu, Qt::Key_Return);
            return;
        }
        CAboutDlg* pAbout = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
        if (!pAbout)
            return;
        ++seen.nShown;
        seen.strTitle = pAbout->windowTitle();
        seen.strVersion = pAbout->VersionLabel()->text();
        seen.strNotice = pAbout->NoticeLabel()->text();
        seen.bIcon = !pAbout->IconLabel()->pixmap().isNull();
        seen.bDefault = pAbout->OkButton()->isDefault();
        QTest::mouseClick(pAbout->OkButton(), Qt::LeftButton);
    });
    watcher.start();

    rig.Win().OnSysCommand(16, 0);
    QCOMPARE(seen.nShown, 1);
    QCOMPARE(seen.strTitle, QStringLiteral("About ZT9047Q Firmware Update"));
    QCOMPARE(seen.strVersion, QStringLiteral("ZT9047Q Version 2.00"));
    QCOMPARE(seen.strNotice, QStringLiteral("Copyright (C) 2026 QNL")); // as in the Windows program
    QVERIFY(seen.bIcon);
    QVERIFY(seen.bDefault);
    rig.Win().OnSysCommand(0x1F, 0); // the low four bits do not count
    QCOMPARE(seen.nShown, 2);
    rig.Win().OnSysCommand(0xF060, 0); // any other command: nothing
    QCOMPARE(seen.nShown, 2);

    // The window's context menu delivers the same command.
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), rig.Win().mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&rig.Win(), &event);
    QCOMPARE(seen.nShown, 3);
    QCOMPARE(boxes.Count(), 0);
}

void CWindowTest::startUpRunsTheWindowModally()
{
    // The program's own start-up, with the machine's ports: whatever the
    // start-up shows is answered, then the window is closed from its own
    // modal loop, which ends the start-up.
    CUpdateDlgApp* pApp = UpdateDlgApp();
    QVERIFY(pApp);
    bool bWasModal = false;
    QString strTitle;
    QTimer closer;
    closer.setInterval(10);
    connect(&closer, &QTimer::timeout, this, [&] {
        if (qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            return;
        CUpdateDlgWindow* pWin = qobject_cast<CUpdateDlgWindow*>(QApplication::activeModalWidget());
        if (!pWin || !pWin->isVisible())
            return;
        bWasModal = pWin->isModal() && pApp->m_pMainWnd == pWin;
        strTitle = pWin->windowTitle();
        pWin->close();
    });
    closer.start();
    CBoxAnswerer boxes;
    QCOMPARE(pApp->InitInstance(), 0);
    QVERIFY(bWasModal);
    QCOMPARE(strTitle, QStringLiteral("QNL ZT9047Q Firmware Update Version " ZT_FIRMWARE_VERSION_TEXT));
    QVERIFY(pApp->m_pMainWnd == nullptr);
}

int main(int argc, char** argv)
{
    CUpdateDlgApp app(argc, argv);
    CWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_window.moc"

// Pictures of the window for the README, taken on the offscreen platform:
//   QT_QPA_PLATFORM=offscreen qt_window_screenshots DIR
// writes DIR/linux-transfer.png (a transfer under way) and
// DIR/linux-downgrade.png (the downgrade question over the window) and
// DIR/linux-about.png (the About box). With no
// window manager there is no frame, so a plain title bar carrying the
// window's caption is drawn around each grab.
#include "AboutDlg.h"
#include "QtRig.h"

#include <QDir>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <cstdio>

namespace {

const int kTitle = 24;
const int kBorder = 1;

QImage Framed(QWidget& w)
{
    QPixmap client = w.grab();
    QImage image(client.width() + 2 * kBorder, client.height() + kTitle + kBorder, QImage::Format_ARGB32);
    image.fill(QColor(0x3c, 0x4a, 0x5c));
    QPainter p(&image);
    p.drawPixmap(kBorder, kTitle, client);
    int x = 6;
    QIcon icon = w.windowIcon();
    if (!icon.isNull()) {
        p.drawPixmap(x, (kTitle - 16) / 2, icon.pixmap(16, 16));
        x += 22;
    }
    QFont font = w.font();
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(x, 0, image.width() - x - 24, kTitle), Qt::AlignVCenter | Qt::AlignLeft, w.windowTitle());
    // The close box.
    p.drawText(QRect(image.width() - 22, 0, 18, kTitle), Qt::AlignCenter, QStringLiteral("x"));
    return image;
}

bool Save(const QImage& image, const QString& strFile)
{
    if (!image.save(strFile)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(strFile));
        return false;
    }
    std::printf("%s %dx%d\n", qPrintable(strFile), image.width(), image.height());
    return true;
}

bool Transfer(const QString& strDir)
{
    SWindowRig rig;
    CBoxAnswerer boxes;
    rig.Win().InitAndShow();
    QTest::mouseClick(rig.Win().DownloadButton(), Qt::LeftButton);
    // A little under half of the image.
    if (!QTest::qWaitFor([&] { return rig.Win().Progress()->value() >= 45; }, 20000))
        return false;
    bool bOk = Save(Framed(rig.Win()), strDir + QStringLiteral("/linux-transfer.png"));
    rig.Win().Logic().m_nTransferState = 0;
    rig.Win().Logic().ResetTransfer();
    return bOk;
}

bool Downgrade(const QString& strDir)
{
    SSimConfig config;
    config.strVersion = "2.35";
    SWindowRig rig(config);
    bool bOk = false;
    CBoxAnswerer boxes([&](QMessageBox& box, int) {
        if (!(box.standardButtons() & QMessageBox::No))
            return QMessageBox::Ok;
        QImage window = Framed(rig.Win());
        QImage question = Framed(box);
        // The box over the window, as a window manager centres it on its owner.
        int nWidth = std::max(window.width(), question.width() + 40);
        int nHeight = std::max(window.height(), question.height()) + 60;
        QImage image(nWidth, nHeight, QImage::Format_ARGB32);
        image.fill(QColor(0xd8, 0xdc, 0xe0));
        QPainter p(&image);
        p.drawImage((nWidth - window.width()) / 2, 10, window);
        p.drawImage((nWidth - question.width()) / 2, (nHeight - question.height()) / 2 + 20, question);
        p.end();
        bOk = Save(image, strDir + QStringLiteral("/linux-downgrade.png"));
        return QMessageBox::No;
    });
    rig.Win().InitAndShow();
    QTest::mouseClick(rig.Win().DownloadButton(), Qt::LeftButton);
    return bOk;
}

bool About(const QString& strDir)
{
    SWindowRig rig;
    CBoxAnswerer boxes;
    rig.Win().InitAndShow();
    CAboutDlg about(&rig.Win());
    about.setWindowIcon(rig.Win().windowIcon());
    about.show();
    return Save(Framed(about), strDir + QStringLiteral("/linux-about.png"));
}

} // namespace

int main(int argc, char** argv)
{
    CUpdateDlgApp app(argc, argv);
    QString strDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    QDir().mkpath(strDir);
    bool bOk = Transfer(strDir);
    bOk = Downgrade(strDir) && bOk;
    bOk = About(strDir) && bOk;
    return bOk ? 0 : 1;
}

#include "AboutDlg.h"

#include "DialogUnits.h"
#include "UpdateDlgApp.h"
#include "resources/notice.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

const char kAboutCaption[] = "About ZT9047Q Firmware Update";
const char kAboutVersion[] = "ZT9047Q Version 2.00";
const char kAboutNotice[] = ZT_MAKER_NOTICE;

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent)
{
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromLatin1(kAboutCaption));
    QFont font = DialogFont();
    setFont(font);
    CDialogUnits du(font);
    setFixedSize(du.Size(235, 55));

    // An icon control takes the icon's own size, 32 x 32.
    m_pIcon = new QLabel(this);
    m_pIcon->setObjectName(QStringLiteral("icon128"));
    m_pIcon->setPixmap(LoadProgramIcon().pixmap(32, 32));
    m_pIcon->setGeometry(du.X(11), du.Y(17), 32, 32);

    m_pVersion = new QLabel(QString::fromLatin1(kAboutVersion), this);
    m_pVersion->setTextFormat(Qt::PlainText);
    m_pVersion->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pVersion->setGeometry(du.Rect(40, 10, 119, 8));

    m_pNotice = new QLabel(QString::fromLatin1(kAboutNotice), this);
    m_pNotice->setTextFormat(Qt::PlainText);
    m_pNotice->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pNotice->setGeometry(du.Rect(40, 25, 119, 8));

    m_pOk = new QPushButton(QStringLiteral("OK"), this);
    m_pOk->setObjectName(QStringLiteral("1"));
    m_pOk->setGeometry(du.Rect(178, 7, 50, 14));
    m_pOk->setDefault(true);
    connect(m_pOk, &QPushButton::clicked, this, &QDialog::accept);
}

// The About box, template 100.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class CAboutDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* pParent = nullptr);

    QLabel* IconLabel() const { return m_pIcon; }
    QLabel* VersionLabel() const { return m_pVersion; }
    QLabel* NoticeLabel() const { return m_pNotice; }
    QPushButton* OkButton() const { return m_pOk; }

private:
    QLabel* m_pIcon;
    QLabel* m_pVersion;
    QLabel* m_pNotice;
    QPushButton* m_pOk;
};

extern const char kAboutCaption[];
extern const char kAboutVersion[];
extern const char kAboutNotice[];

#include "MessageBox.h"

#include "update/WindowSurface.h"

#include <QAbstractButton>
#include <QMessageBox>

namespace {

// Win32 button sets and icons.
enum : unsigned {
    kOk = 0x0,
    kOkCancel = 0x1,
    kAbortRetryIgnore = 0x2,
    kYesNoCancel = 0x3,
    kYesNo = 0x4,
    kRetryCancel = 0x5,
    kIconHand = 0x10,
    kIconQuestion = 0x20,
    kIconExclamation = 0x30,
    kIconAsterisk = 0x40,
};

struct SButton
{
    QMessageBox::StandardButton eButton;
    int nAnswer;
};

} // namespace

QString MessageText(const std::string& strText)
{
    QString s;
    s.reserve(static_cast<int>(strText.size()));
    for (size_t i = 0; i < strText.size(); ++i) {
        char c = strText[i];
        if (c == '\r') {
            if (i + 1 < strText.size() && strText[i + 1] == '\n')
                ++i;
            s += QLatin1Char('\n');
        } else {
            // 8-bit text: every byte is one Latin-1 character.
            s += QLatin1Char(c);
        }
    }
    return s;
}

void SetUpMessageBox(QMessageBox& box, const std::string& strText, unsigned nType)
{
    box.setWindowTitle(QString::fromLatin1(kMessageCaption));
    box.setTextFormat(Qt::PlainText);
    box.setText(MessageText(strText));

    switch (nType & 0xF0) {
    case kIconHand:
        box.setIcon(QMessageBox::Critical);
        break;
    case kIconQuestion:
        box.setIcon(QMessageBox::Question);
        break;
    case kIconExclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case kIconAsterisk:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }

    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton eFirst = QMessageBox::Ok;
    switch (nType & 0x0F) {
    case kOkCancel:
        buttons = QMessageBox::Ok | QMessageBox::Cancel;
        break;
    case kAbortRetryIgnore:
        buttons = QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
        eFirst = QMessageBox::Abort;
        break;
    case kYesNoCancel:
        buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        eFirst = QMessageBox::Yes;
        break;
    case kYesNo:
        buttons = QMessageBox::Yes | QMessageBox::No;
        eFirst = QMessageBox::Yes;
        break;
    case kRetryCancel:
        buttons = QMessageBox::Retry | QMessageBox::Cancel;
        eFirst = QMessageBox::Retry;
        break;
    default:
        buttons = QMessageBox::Ok;
        break;
    }
    box.setStandardButtons(buttons);
    box.setDefaultButton(eFirst);
}

int RunMessageBox(QWidget* pOwner, const std::string& strText, unsigned nType)
{
    QMessageBox box(pOwner);
    SetUpMessageBox(box, strText, nType);
    box.exec();
    static const SButton kAnswers[] = {
        {QMessageBox::Ok, kAnswerOk}, {QMessageBox::Cancel, 2}, {QMessageBox::Abort, 3},
        {QMessageBox::Retry, 4},      {QMessageBox::Ignore, 5}, {QMessageBox::Yes, kAnswerYes},
        {QMessageBox::No, kAnswerNo},
    };
    QAbstractButton* pClicked = box.clickedButton();
    QMessageBox::StandardButton eClicked = pClicked ? box.standardButton(pClicked) : QMessageBox::NoButton;
    for (const SButton& b : kAnswers) {
        if (b.eButton == eClicked)
            return b.nAnswer;
    }
    // Closed without a button (the window manager's close, Esc): Qt picks
    // the escape button; with none, a question counts as No.
    return IsQuestion(nType) ? kAnswerNo : kAnswerOk;
}

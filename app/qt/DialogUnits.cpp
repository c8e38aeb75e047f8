#include "DialogUnits.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QString>

#include <cstdlib>

int MulDivRound(int a, int b, int c)
{
    if (c == 0)
        return -1;
    long long n = static_cast<long long>(a) * b;
    long long q = (std::llabs(n) * 2 + std::llabs(c)) / (2 * std::llabs(static_cast<long long>(c)));
    return static_cast<int>(((n < 0) != (c < 0)) ? -q : q);
}

CDialogUnits::CDialogUnits(const QFont& font)
{
    QFontMetrics fm(font);
    // Windows takes the extent of the alphabet in both cases, averages it and
    // rounds the half-width up.
    int nAlphabet = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_cxChar = (nAlphabet / 26 + 1) / 2;
    m_cyChar = fm.height();
}

int CDialogUnits::X(int nDu) const
{
    return MulDivRound(nDu, m_cxChar, 4);
}

int CDialogUnits::Y(int nDu) const
{
    return MulDivRound(nDu, m_cyChar, 8);
}

QFont DialogFont()
{
    QFont font(QStringLiteral("MS Sans Serif"), 8);
    if (QFontInfo(font).family() == font.family())
        return font;
    QFont sans(QStringLiteral("DejaVu Sans"), 8);
    sans.setStyleHint(QFont::SansSerif);
    return sans;
}

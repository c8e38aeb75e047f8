// Dialog units to pixels, as Windows lays out a dialog template: the base
// units come from the dialog's font (average width of the 52 letters, and
// the font's height), and every coordinate is scaled by them on its own.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class CDialogUnits
{
public:
    explicit CDialogUnits(const QFont& font);
    // Base units given directly (tests).
    CDialogUnits(int nCharWidth, int nCharHeight) : m_cxChar(nCharWidth), m_cyChar(nCharHeight) {}

    int X(int nDu) const;
    int Y(int nDu) const;
    QRect Rect(int x, int y, int cx, int cy) const { return QRect(X(x), Y(y), X(cx), Y(cy)); }
    QSize Size(int cx, int cy) const { return QSize(X(cx), Y(cy)); }

    int CharWidth() const { return m_cxChar; }
    int CharHeight() const { return m_cyChar; }

private:
    int m_cxChar;
    int m_cyChar;
};

// a * b / c rounded to the nearest integer, halves away from zero (MulDiv).
int MulDivRound(int a, int b, int c);

// The windows' font: "MS Sans Serif" 8 pt where it exists, otherwise a sans
// font of the same size (DejaVu Sans on Debian).
QFont DialogFont();

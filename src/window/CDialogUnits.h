#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

// Converts dialog units into pixels of a font: a horizontal unit is a quarter of the
// font's average character width, a vertical unit an eighth of its height. Layouts
// given in dialog units keep their proportions with any font and screen.
class CDialogUnits
{
public:
    explicit CDialogUnits(const QFont& font);

    int X(int units) const { return (units * m_baseX + 2) / 4; }
    int Y(int units) const { return (units * m_baseY + 4) / 8; }
    QRect Rect(int x, int y, int width, int height) const;
    QSize Size(int width, int height) const { return QSize(X(width), Y(height)); }
    // Gives `control` the rectangle (x, y, width, height) in dialog units.
    void Place(QWidget* control, int x, int y, int width, int height) const;

    // Other fonts run wider than the one a layout was drawn for. Grows every label of
    // `dialog` that would clip its text, moves what follows it on its row to the right
    // and widens the window to hold it all; call it once the texts are set.
    void FitLabels(QWidget* dialog) const;

    // Scales a pixel width meant for the 8-point dialog font of 96-dpi screens.
    int ScalePixels(int pixels) const { return (pixels * m_baseX + 3) / 6; }

private:
    int m_baseX;
    int m_baseY;
};

#include "window/CDialogUnits.h"

#include <QFontMetrics>
#include <QWidget>

CDialogUnits::CDialogUnits(const QFont& font)
{
    QFontMetrics metrics(font);
    // The average over the alphabet, as dialog templates have always measured it.
    static const QString alphabet =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_baseX = (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2;
    m_baseY = metrics.height();
    if (m_baseX < 1)
        m_baseX = 6;
    if (m_baseY < 1)
        m_baseY = 13;
}

QRect CDialogUnits::Rect(int x, int y, int width, int height) const
{
    return QRect(X(x), Y(y), X(width), Y(height));
}

void CDialogUnits::Place(QWidget* control, int x, int y, int width, int height) const
{
    control->setGeometry(Rect(x, y, width, height));
}

#include "window/CDialogUnits.h"

#include <QFontMetrics>
#include <QLabel>
#include <QWidget>

#include <algorithm>
#include <vector>

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

void CDialogUnits::FitLabels(QWidget* dialog) const
{
    std::vector<QLabel*> labels;
    for (QLabel* label : dialog->findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
        labels.push_back(label);
    std::sort(labels.begin(), labels.end(), [](QLabel* a, QLabel* b) {
        return std::make_pair(a->y(), a->x()) < std::make_pair(b->y(), b->x());
    });
    int rowY = -1;
    int rowEnd = 0;
    int right = 0;
    for (QLabel* label : labels) {
        QRect r = label->geometry();
        if (r.y() != rowY) {
            rowY = r.y();
            rowEnd = 0;
        }
        if (r.x() < rowEnd)
            r.moveLeft(rowEnd);
        r.setWidth(std::max(r.width(), label->sizeHint().width()));
        label->setGeometry(r);
        rowEnd = r.x() + r.width() + X(4);
        right = std::max(right, r.x() + r.width());
    }
    const int wanted = right + X(7);
    if (wanted > dialog->width())
        dialog->setFixedSize(wanted, dialog->height());
}

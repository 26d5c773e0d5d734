#include "window/CSelectListCtrl.h"

#include "window/CDibListModel.h"
#include "window/CSelectListAccessible.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyledItemDelegate>

namespace
{
// Lets the view lay a cell out exactly as the delegate paints it.
class CCheckDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::initStyleOption;
    using QStyledItemDelegate::QStyledItemDelegate;
};
} // namespace

CSelectListCtrl::CSelectListCtrl(QWidget* parent) : CDibListCtrl(parent)
{
    CSelectListAccessible::Install();
    // While the base was built, Qt may have made its own interface for the view.
    QAccessibleInterface* made = QAccessible::queryAccessibleInterface(this);
    if (made && !dynamic_cast<CSelectListAccessible*>(made))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
    Model()->SetChecks(true);
    setItemDelegate(new CCheckDelegate(this));
}

QRect CSelectListCtrl::CheckRect(int row) const
{
    if (row < 0 || row >= GetItemCount() || Model()->columnCount() == 0)
        return QRect();
    QModelIndex index = Model()->index(row, 0);
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = visualRect(index);
    if (auto* delegate = dynamic_cast<CCheckDelegate*>(itemDelegate()))
        delegate->initStyleOption(&option, index);
    return style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, this);
}

int CSelectListCtrl::HitCheck(const QPoint& point) const
{
    QModelIndex index = indexAt(point);
    if (!index.isValid() || index.column() != 0)
        return -1;
    return CheckRect(index.row()).contains(point) ? index.row() : -1;
}

int CSelectListCtrl::GetCheck(int row) const
{
    if (row < 0 || row >= GetItemCount())
        return 0;
    CListDisplayInfo info;
    info.Mask = CListDisplayInfo::WantImage;
    info.Row = row;
    RequestDisplayInfo(info);
    return info.Image ? 1 : 0;
}

void CSelectListCtrl::RequestDisplayInfo(CListDisplayInfo& info) const
{
    CDibListCtrl::RequestDisplayInfo(info);
    if ((info.Mask & CListDisplayInfo::WantImage) && m_toggled.count(info.Row))
        info.Image = info.Image ? 0 : 1;
}

void CSelectListCtrl::mousePressEvent(QMouseEvent* event)
{
    int row = -1;
    if (event->button() == Qt::LeftButton)
        row = HitCheck(event->position().toPoint());
    const int before = GetCheck(row);
    if (row >= 0)
        m_toggled.insert(row);
    CDibListCtrl::mousePressEvent(event);
    // The owner has had the click and keeps the state now.
    m_toggled.clear();
    if (row >= 0)
        CheckShown(row, before);
}

int CSelectListCtrl::ToggleCheck(int row)
{
    if (row < 0 || row >= GetItemCount())
        return 0;
    // The owner finds the row from the point of the click, on its box in view.
    scrollTo(Model()->index(row, 0));
    const int before = GetCheck(row);
    m_toggled.insert(row);
    emit ListClicked(CheckRect(row).center());
    m_toggled.clear();
    return CheckShown(row, before);
}

void CSelectListCtrl::keyPressEvent(QKeyEvent* event)
{
    // Ctrl+Space still toggles the selection, as in every list.
    if ((event->key() == Qt::Key_Space || event->key() == Qt::Key_Select) &&
        !(event->modifiers() & ~Qt::KeypadModifier) && currentIndex().isValid()) {
        ToggleCheck(currentIndex().row());
        event->accept();
        return;
    }
    CDibListCtrl::keyPressEvent(event);
}

int CSelectListCtrl::CheckShown(int row, int before)
{
    viewport()->update();
    if (GetCheck(row) == before)
        return 0;
    QAccessible::State changed;
    changed.checked = true;
    QAccessibleStateChangeEvent event(this, changed);
    event.setChild(CSelectListAccessible::ChildIndex(row, 0, Model()->columnCount()));
    QAccessible::updateAccessibility(&event);
    return 1;
}

#include "window/CSelectListAccessible.h"

#include "window/CSelectListCtrl.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPointer>

namespace
{

// One cell; row -1 for the column headers, column -1 for the row headers, which the
// view hides, and both for the corner between them. It holds the view and its place, not a
// model index: it reads the view afresh at every question, so a cell kept by a
// client across a change of the rows can never reach a removed row.
class CSelectListCell : public QAccessibleInterface,
                        public QAccessibleTableCellInterface,
                        public QAccessibleActionInterface
{
public:
    CSelectListCell(CSelectListCtrl* view, int row, int column)
        : m_view(view), m_row(row), m_column(column)
    {
    }

    bool isValid() const override
    {
        return m_view && m_row >= -1 && m_row < m_view->model()->rowCount() && m_column >= -1 &&
               m_column < m_view->model()->columnCount();
    }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return m_view ? m_view->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override
    {
        return QAccessible::queryAccessibleInterface(m_view.data());
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    void setText(QAccessible::Text, const QString&) override {}

    QString text(QAccessible::Text t) const override
    {
        if (!isValid() || m_column < 0)
            return QString();
        if (m_row < 0)
            return t == QAccessible::Name
                       ? m_view->model()->headerData(m_column, Qt::Horizontal).toString()
                       : QString();
        // The row's tooltip is its only help text.
        const int role = t == QAccessible::Name          ? Qt::DisplayRole
                         : t == QAccessible::Description ? Qt::ToolTipRole
                                                         : -1;
        return role < 0 ? QString() : Index().data(role).toString();
    }

    QRect rect() const override
    {
        if (!isValid() || m_column < 0)
            return QRect();
        if (m_row < 0) {
            QHeaderView* header = m_view->horizontalHeader();
            QRect cell(header->sectionViewportPosition(m_column), 0, header->sectionSize(m_column),
                       header->height());
            return cell.translated(header->viewport()->mapToGlobal(QPoint(0, 0)));
        }
        return m_view->visualRect(Index()).translated(
            m_view->viewport()->mapToGlobal(QPoint(0, 0)));
    }

    QAccessible::Role role() const override
    {
        return m_column < 0 ? (m_row < 0 ? QAccessible::Pane : QAccessible::RowHeader)
               : m_row < 0  ? QAccessible::ColumnHeader
                            : QAccessible::Cell;
    }

    QAccessible::State state() const override
    {
        QAccessible::State state;
        if (!isValid())
            return state;
        if (m_row < 0 || m_column < 0) {
            state.invisible =
                !(m_column < 0 ? m_view->verticalHeader() : m_view->horizontalHeader())
                     ->isVisible();
            return state;
        }
        QRect shown = m_view->viewport()->rect();
        shown.moveTopLeft(m_view->viewport()->mapToGlobal(QPoint(0, 0)));
        state.invisible = !m_view->isVisible() || !shown.intersects(rect());
        state.selectable = state.focusable = true;
        state.extSelectable = m_view->selectionMode() == QAbstractItemView::ExtendedSelection;
        state.selected = isSelected();
        state.focused = m_view->currentIndex() == Index();
        if (IsCheck()) {
            state.checkable = true;
            state.checked = m_view->GetCheck(m_row) != 0;
        }
        return state;
    }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TableCellInterface && m_row >= 0 && m_column >= 0)
            return static_cast<QAccessibleTableCellInterface*>(this);
        if (type == QAccessible::ActionInterface)
            return static_cast<QAccessibleActionInterface*>(this);
        return nullptr;
    }

    bool isSelected() const override
    {
        return isValid() && m_row >= 0 && m_view->selectionModel() &&
               m_view->selectionModel()->isRowSelected(m_row);
    }
    QList<QAccessibleInterface*> columnHeaderCells() const override
    {
        auto* table = dynamic_cast<CSelectListAccessible*>(parent());
        QAccessibleInterface* header = table ? table->Cell(-1, m_column) : nullptr;
        return header ? QList<QAccessibleInterface*>{header} : QList<QAccessibleInterface*>{};
    }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return m_column; }
    int rowIndex() const override { return m_row; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

    QStringList actionNames() const override
    {
        return IsCheck() ? QStringList{toggleAction()} : QStringList{};
    }
    void doAction(const QString& name) override
    {
        if (name == toggleAction() && IsCheck())
            m_view->ToggleCheck(m_row);
    }
    QStringList keyBindingsForAction(const QString& name) const override
    {
        return name == toggleAction() && IsCheck() ? QStringList{QStringLiteral("Space")}
                                                   : QStringList{};
    }

private:
    QModelIndex Index() const { return m_view->model()->index(m_row, m_column); }
    // The first cell of a row holds its check box.
    bool IsCheck() const { return isValid() && m_row >= 0 && m_column == 0; }

    QPointer<CSelectListCtrl> m_view;
    int m_row;
    int m_column;
};

QAccessibleInterface* Factory(const QString& key, QObject* object)
{
    if (key == QLatin1String("CSelectListCtrl") && object && object->isWidgetType())
        return new CSelectListAccessible(static_cast<CSelectListCtrl*>(object));
    return nullptr;
}

} // namespace

CSelectListAccessible::CSelectListAccessible(CSelectListCtrl* view)
    : QAccessibleWidget(view, QAccessible::Table)
{
}

CSelectListAccessible::~CSelectListAccessible()
{
    DropCells();
}

void CSelectListAccessible::Install()
{
    static const bool installed = (QAccessible::installFactory(Factory), true);
    (void)installed;
}

CSelectListCtrl* CSelectListAccessible::View() const
{
    return static_cast<CSelectListCtrl*>(widget());
}

void CSelectListAccessible::DropCells()
{
    for (QAccessible::Id id : std::as_const(m_cells))
        QAccessible::deleteAccessibleInterface(id);
    m_cells.clear();
}

QAccessibleInterface* CSelectListAccessible::Cell(int row, int column) const
{
    if (row < -1 || row >= rowCount() || column < -1 || column >= columnCount())
        return nullptr;
    const quint64 key = (quint64(quint32(row + 1)) << 32) | quint32(column + 1);
    auto found = m_cells.constFind(key);
    if (found != m_cells.constEnd())
        return QAccessible::accessibleInterface(*found);
    QAccessibleInterface* cell = new CSelectListCell(View(), row, column);
    m_cells.insert(key, QAccessible::registerAccessibleInterface(cell));
    return cell;
}

void* CSelectListAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TableInterface)
        return static_cast<QAccessibleTableInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

int CSelectListAccessible::ChildIndex(int row, int column, int columns)
{
    return (row + 1) * (columns + 1) + column + 1;
}

int CSelectListAccessible::childCount() const
{
    return ChildIndex(rowCount(), -1, columnCount());
}

QAccessibleInterface* CSelectListAccessible::child(int index) const
{
    const int columns = columnCount() + 1;
    return index >= 0 ? Cell(index / columns - 1, index % columns - 1) : nullptr;
}

int CSelectListAccessible::indexOfChild(const QAccessibleInterface* child) const
{
    auto* cell = dynamic_cast<const CSelectListCell*>(child);
    if (!cell || !cell->isValid())
        return -1;
    return ChildIndex(cell->rowIndex(), cell->columnIndex(), columnCount());
}

QAccessibleInterface* CSelectListAccessible::childAt(int x, int y) const
{
    const QPoint global(x, y);
    QHeaderView* header = View()->horizontalHeader();
    const QPoint inHeader = header->viewport()->mapFromGlobal(global);
    if (header->isVisible() && header->viewport()->rect().contains(inHeader))
        return Cell(-1, header->logicalIndexAt(inHeader));
    const QModelIndex index = View()->indexAt(View()->viewport()->mapFromGlobal(global));
    return index.isValid() ? Cell(index.row(), index.column()) : nullptr;
}

QAccessibleInterface* CSelectListAccessible::focusChild() const
{
    const QModelIndex current = View()->currentIndex();
    return current.isValid() ? Cell(current.row(), current.column()) : nullptr;
}

QAccessibleInterface* CSelectListAccessible::cellAt(int row, int column) const
{
    return row >= 0 && column >= 0 ? Cell(row, column) : nullptr;
}

int CSelectListAccessible::selectedCellCount() const
{
    return selectedRowCount() * columnCount();
}

QList<QAccessibleInterface*> CSelectListAccessible::selectedCells() const
{
    QList<QAccessibleInterface*> cells;
    for (int row : selectedRows())
        for (int column = 0; column < columnCount(); ++column)
            cells.append(Cell(row, column));
    return cells;
}

QString CSelectListAccessible::columnDescription(int column) const
{
    return View()->model()->headerData(column, Qt::Horizontal).toString();
}

int CSelectListAccessible::selectedRowCount() const
{
    return static_cast<int>(View()->SelectedRows().size());
}

int CSelectListAccessible::columnCount() const
{
    return View()->model()->columnCount();
}

int CSelectListAccessible::rowCount() const
{
    return View()->model()->rowCount();
}

QList<int> CSelectListAccessible::selectedRows() const
{
    QList<int> rows;
    for (int row : View()->SelectedRows())
        rows.append(row);
    return rows;
}

bool CSelectListAccessible::isRowSelected(int row) const
{
    return View()->selectionModel() && View()->selectionModel()->isRowSelected(row);
}

bool CSelectListAccessible::SelectRow(int row, QItemSelectionModel::SelectionFlag how)
{
    if (row < 0 || row >= rowCount() || !View()->selectionModel())
        return false;
    View()->selectionModel()->select(View()->model()->index(row, 0),
                                     how | QItemSelectionModel::Rows);
    return true;
}

bool CSelectListAccessible::selectRow(int row)
{
    return SelectRow(row, QItemSelectionModel::Select);
}

bool CSelectListAccessible::unselectRow(int row)
{
    return SelectRow(row, QItemSelectionModel::Deselect);
}

void CSelectListAccessible::modelChange(QAccessibleTableModelChangeEvent*)
{
    // Rows came or went: every cell's place may now hold another row.
    DropCells();
}

#pragma once

#include <QAccessibleWidget>
#include <QHash>
#include <QItemSelectionModel>

class CSelectListCtrl;

// What assistive technology sees of a CSelectListCtrl: a table whose children are
// numbered as Qt's table view numbers them in its events: a row of column headers,
// then the rows, each led by its row header (the view hides them), with a corner
// before the first column header. The first cell of a row carries the row's check box; its Toggle
// action ticks or clears the box as a click on it does. Qt's own table interface has Toggle select
// the row instead, which on these rows reports success and changes nothing that matters.
class CSelectListAccessible : public QAccessibleWidget, public QAccessibleTableInterface
{
public:
    explicit CSelectListAccessible(CSelectListCtrl* view);
    ~CSelectListAccessible() override;

    // Makes every CSelectListCtrl answer with this interface; once is enough.
    static void Install();

    // The cell of (row, column); -1 for a header, as above. Null outside the table.
    QAccessibleInterface* Cell(int row, int column) const;
    // The number of the child at (row, column) of a table of `columns` columns.
    static int ChildIndex(int row, int column, int columns);

    void* interface_cast(QAccessible::InterfaceType type) override;
    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* childAt(int x, int y) const override;
    QAccessibleInterface* focusChild() const override;

    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override;
    int selectedCellCount() const override;
    QList<QAccessibleInterface*> selectedCells() const override;
    QString columnDescription(int column) const override;
    QString rowDescription(int) const override { return QString(); }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override;
    int columnCount() const override;
    int rowCount() const override;
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override;
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override;
    bool selectRow(int row) override;
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override;
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent* event) override;

private:
    // Selects or deselects a whole row, as a screen reader asks.
    bool SelectRow(int row, QItemSelectionModel::SelectionFlag how);
    CSelectListCtrl* View() const;
    void DropCells();

    // Cells are made when first asked for and live until the rows change.
    mutable QHash<quint64, QAccessible::Id> m_cells;
};

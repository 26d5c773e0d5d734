#pragma once

#include "base/CUObject.h"

#include <QAbstractTableModel>
#include <QStringList>

#include <vector>

class CDibListCtrl;

// The rows of a CDibListCtrl: the objects it shows. Every cell's data is asked of the
// view, which asks its owner.
class CDibListModel : public QAbstractTableModel
{
public:
    explicit CDibListModel(CDibListCtrl* view);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // `format`: 0 left-aligned, 1 right-aligned, 2 centred, as list columns have it.
    void AddColumn(const QString& title, int format);
    void SetRows(std::vector<CUObject*> rows);
    void InsertRow(int row, CUObject* obj);
    void RemoveRow(int row);
    void RefreshRow(int row);
    void RefreshCells(int row, int first, int last);
    CUObject* GetObject(int row) const;
    int IndexOf(const CUObject* obj) const;

    // Gives whether rows show a check box (the CSelectListCtrl does).
    void SetChecks(bool checks) { m_checks = checks; }

private:
    CDibListCtrl* m_view;
    std::vector<CUObject*> m_rows;
    QStringList m_columns;
    std::vector<int> m_formats;
    bool m_checks = false;
};

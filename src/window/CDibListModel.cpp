#include "window/CDibListModel.h"

#include "window/CDibListCtrl.h"
#include "window/WindowText.h"

CDibListModel::CDibListModel(CDibListCtrl* view) : QAbstractTableModel(view), m_view(view) {}

int CDibListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CDibListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

namespace
{
Qt::Alignment AlignmentOf(int format)
{
    switch (format & 3) {
    case 1:
        return Qt::AlignRight | Qt::AlignVCenter;
    case 2:
        return Qt::AlignHCenter | Qt::AlignVCenter;
    default:
        return Qt::AlignLeft | Qt::AlignVCenter;
    }
}
} // namespace

QVariant CDibListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount())
        return QVariant();
    // The owner answers every question about a cell through its display callback.
    auto request = [&](int mask) {
        CListDisplayInfo info;
        info.Mask = mask;
        info.Row = index.row();
        info.Column = index.column();
        m_view->RequestDisplayInfo(info);
        return info;
    };
    switch (role) {
    case Qt::DisplayRole:
        return DisplayText(request(CListDisplayInfo::WantText).Text.c_str());
    case Qt::ToolTipRole: {
        const CListDisplayInfo info = request(CListDisplayInfo::WantToolTip);
        if (info.Text.IsEmpty())
            return QVariant();
        return DisplayText(info.Text.c_str());
    }
    case Qt::CheckStateRole:
        if (!m_checks || index.column() != 0)
            return QVariant();
        return request(CListDisplayInfo::WantImage).Image ? Qt::Checked : Qt::Unchecked;
    case Qt::TextAlignmentRole:
        return QVariant(AlignmentOf(m_formats[static_cast<size_t>(index.column())]));
    default:
        return QVariant();
    }
}

QVariant CDibListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount())
        return QVariant();
    if (role == Qt::DisplayRole)
        return m_columns[section];
    if (role == Qt::TextAlignmentRole)
        return QVariant(AlignmentOf(m_formats[static_cast<size_t>(section)]));
    return QVariant();
}

Qt::ItemFlags CDibListModel::flags(const QModelIndex& index) const
{
    // Not user-checkable: the view toggles the boxes itself, so that the owner hears
    // of the click after the box has changed.
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

void CDibListModel::AddColumn(const QString& title, int format)
{
    int column = columnCount();
    beginInsertColumns(QModelIndex(), column, column);
    m_columns.append(title);
    m_formats.push_back(format);
    endInsertColumns();
}

void CDibListModel::SetRows(std::vector<CUObject*> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

void CDibListModel::InsertRow(int row, CUObject* obj)
{
    beginInsertRows(QModelIndex(), row, row);
    m_rows.insert(m_rows.begin() + row, obj);
    endInsertRows();
}

void CDibListModel::RemoveRow(int row)
{
    beginRemoveRows(QModelIndex(), row, row);
    m_rows.erase(m_rows.begin() + row);
    endRemoveRows();
}

void CDibListModel::RefreshRow(int row)
{
    RefreshCells(row, 0, columnCount() - 1);
}

void CDibListModel::RefreshCells(int row, int first, int last)
{
    if (row >= 0 && row < rowCount() && first >= 0 && first <= last && last < columnCount())
        emit dataChanged(index(row, first), index(row, last));
}

CUObject* CDibListModel::GetObject(int row) const
{
    return row >= 0 && row < rowCount() ? m_rows[static_cast<size_t>(row)] : nullptr;
}

int CDibListModel::IndexOf(const CUObject* obj) const
{
    for (size_t i = 0; i < m_rows.size(); ++i)
        if (m_rows[i] == obj)
            return static_cast<int>(i);
    return -1;
}

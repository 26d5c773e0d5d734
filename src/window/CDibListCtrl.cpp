#include "window/CDibListCtrl.h"

#include "window/CDialogUnits.h"
#include "window/CDibListModel.h"
#include "window/ControlId.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMouseEvent>

#include <algorithm>

CDibListCtrl::CDibListCtrl(QWidget* parent) : QTableView(parent), m_model(new CDibListModel(this))
{
    setModel(m_model);
    setSortingEnabled(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setWordWrap(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setSortIndicatorShown(false);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    // The selection stays visible while another control has the focus.
    QPalette colours = palette();
    colours.setColor(QPalette::Inactive, QPalette::Highlight,
                     colours.color(QPalette::Active, QPalette::Highlight));
    colours.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     colours.color(QPalette::Active, QPalette::HighlightedText));
    setPalette(colours);
}

CDibListCtrl::~CDibListCtrl() = default;

void CDibListCtrl::Init(int id, DisplayInfoHandler handler)
{
    SetControlId(this, id);
    m_handler = std::move(handler);
}

void CDibListCtrl::AddColumn(const char* text, int format, int width)
{
    m_model->AddColumn(QString::fromLocal8Bit(text), format);
    m_widths.push_back(width);
    FitColumns();
}

void CDibListCtrl::AddItem(CUObject* obj)
{
    if (!obj)
        return;
    int shown = m_model->IndexOf(obj);
    if (shown >= 0) {
        m_model->RefreshRow(shown);
        return;
    }
    int row = m_sourceIndex ? m_sourceIndex(obj) : -1;
    if (row < 0 || row > m_model->rowCount())
        row = m_model->rowCount();
    m_model->InsertRow(row, obj);
}

void CDibListCtrl::RedrawCells(int row, int first, int last)
{
    m_model->RefreshCells(row, first, last);
}

CUObject* CDibListCtrl::GetObject(int row) const
{
    return m_model->GetObject(row);
}

int CDibListCtrl::GetItemCount() const
{
    return m_model->rowCount();
}

std::vector<int> CDibListCtrl::SelectedRows() const
{
    std::vector<int> rows;
    if (!selectionModel())
        return rows;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void CDibListCtrl::SetRows(std::vector<CUObject*> rows)
{
    m_model->SetRows(std::move(rows));
}

void CDibListCtrl::RemoveRows(const std::vector<const CUObject*>& objects)
{
    for (const CUObject* obj : objects) {
        int row = m_model->IndexOf(obj);
        if (row >= 0)
            m_model->RemoveRow(row);
    }
}

void CDibListCtrl::RequestDisplayInfo(CListDisplayInfo& info) const
{
    if (m_handler)
        m_handler(info);
}

void CDibListCtrl::mousePressEvent(QMouseEvent* event)
{
    QTableView::mousePressEvent(event);
    if (event->button() == Qt::LeftButton)
        emit ListClicked(event->position().toPoint());
}

void CDibListCtrl::resizeEvent(QResizeEvent* event)
{
    QTableView::resizeEvent(event);
    FitColumns();
}

void CDibListCtrl::FitColumns()
{
    CDialogUnits units(font());
    int used = 0;
    for (size_t i = 0; i < m_widths.size(); ++i) {
        if (m_widths[i] >= 0) {
            int width = units.ScalePixels(m_widths[i]);
            setColumnWidth(static_cast<int>(i), width);
            used += width;
        }
    }
    int rest = std::max(viewport()->width() - used, 20);
    for (size_t i = 0; i < m_widths.size(); ++i)
        if (m_widths[i] < 0)
            setColumnWidth(static_cast<int>(i), rest);
}

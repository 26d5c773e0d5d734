#pragma once

#include "base/CUObList.h"
#include "base/CUObject.h"
#include "base/CUString.h"

#include <QTableView>

#include <functional>
#include <vector>

class CDibListModel;

// A request of the view for one cell: Mask bit 0 asks for the text of (Row, Column),
// bit 1 for the row's image (its check box: 0 clear, 1 checked), bit 2 for the row's
// tooltip (empty for none). The owner answers with SetDisplayText and by setting Image.
struct CListDisplayInfo {
    enum { WantText = 1, WantImage = 2, WantToolTip = 4 };
    int Mask = 0;
    int Row = 0;
    int Column = 0;
    CUString Text;
    int Image = 0;
};

// A report-style list view whose rows are the objects of a list, one row per object
// in list order. The view never owns the objects; cell texts and row images are
// asked of the owner row by row, so a row always shows the object as it is now.
class CDibListCtrl : public QTableView
{
    Q_OBJECT
public:
    using DisplayInfoHandler = std::function<void(CListDisplayInfo&)>;

    explicit CDibListCtrl(QWidget* parent = nullptr);
    ~CDibListCtrl() override;

    // Makes the view the control `id` of its parent and names the function that
    // answers its display requests.
    void Init(int id, DisplayInfoHandler handler);

    // Adds a column; `width` in pixels of the classic 8-point dialog font, -1 to take
    // the rest of the view's width.
    void AddColumn(const char* text, int format, int width);

    // Shows the objects of `list`, one row each, in list order. The list is kept in
    // mind to place the rows that AddItem adds, so it must outlive the view or the
    // next ResetList.
    template <class T>
    void ResetList(const CUObList<T>& list)
    {
        m_sourceIndex = [&list](const CUObject* obj) {
            int index = 0;
            for (T* item : list) {
                if (static_cast<const CUObject*>(item) == obj)
                    return index;
                ++index;
            }
            return -1;
        };
        std::vector<CUObject*> rows;
        for (T* item : list)
            rows.push_back(item);
        SetRows(std::move(rows));
    }

    // Shows an object: its row goes where it stands in the list of the last
    // ResetList (at the end when it is not there); an object already shown keeps its
    // one row, which is redrawn.
    void AddItem(CUObject* obj);

    // Removes the rows of the listed objects.
    template <class T>
    void DeleteItems(const CUObList<T>& list)
    {
        std::vector<const CUObject*> objects;
        for (T* item : list)
            objects.push_back(item);
        RemoveRows(objects);
    }

    // Appends the objects of the selected rows, top to bottom, to `list`.
    template <class T>
    void GetSelectedItems(CUObList<T>& list) const
    {
        for (int row : SelectedRows())
            list.AddTail(static_cast<T*>(GetObject(row)));
    }

    // Redraws the cells of columns first..last of a row, and nothing else: the owner's
    // data behind them changed.
    void RedrawCells(int row, int first, int last);

    CUObject* GetObject(int row) const;
    int GetItemCount() const;
    std::vector<int> SelectedRows() const;

    // Hands the text of a display request to the view.
    static void SetDisplayText(CListDisplayInfo& info, const char* text) { info.Text = text; }

signals:
    // A left click in the view, after the view has handled it; `point` is in the
    // view's own (viewport) coordinates.
    void ListClicked(const QPoint& point);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

    friend class CDibListModel;
    // Asks the owner for a row's text or image.
    virtual void RequestDisplayInfo(CListDisplayInfo& info) const;

    CDibListModel* Model() const { return m_model; }

private:
    void SetRows(std::vector<CUObject*> rows);
    void RemoveRows(const std::vector<const CUObject*>& objects);
    void FitColumns();

    CDibListModel* m_model;
    DisplayInfoHandler m_handler;
    std::function<int(const CUObject*)> m_sourceIndex;
    std::vector<int> m_widths; // -1 for the column that fills the rest
};

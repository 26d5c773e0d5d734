#pragma once

#include "window/CDibListCtrl.h"

#include <QPoint>

#include <set>

// A CDibListCtrl with a check box in front of each row, drawn from the row's image
// (0 clear, 1 checked). A click on a box toggles it before the owner hears of the
// click; the owner then takes the new state with GetCheck and keeps it in its objects,
// from which the images are asked again. Space on the current row and the Toggle
// action of assistive technology come to the owner as that same click.
class CSelectListCtrl : public CDibListCtrl
{
    Q_OBJECT
public:
    explicit CSelectListCtrl(QWidget* parent = nullptr);

    // The row whose check box lies under `point` (viewport coordinates), or -1.
    int HitCheck(const QPoint& point) const;
    // 1 for a checked row, 0 otherwise.
    int GetCheck(int row) const;
    // The rectangle of a row's check box in viewport coordinates (empty for no row).
    QRect CheckRect(int row) const;
    // Toggles a row's box as a click on it does; gives non-zero when the owner kept
    // the new state.
    int ToggleCheck(int row);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void RequestDisplayInfo(CListDisplayInfo& info) const override;

private:
    // After the owner has heard of a toggle: redraws, and tells assistive technology
    // when the box changed from `before`. Gives non-zero for a change.
    int CheckShown(int row, int before);

    // Rows toggled by the click being handled: their box shows the opposite of the
    // owner's image until the owner has heard of the click.
    std::set<int> m_toggled;
};

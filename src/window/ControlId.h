#pragma once

class QObject;
class QWidget;

// Controls are known by numeric IDs, as the string table of tooltips is keyed.
void SetControlId(QWidget* control, int id);
// The control's ID, or 0 when it has none.
int GetControlId(const QObject* control);
// The child of `parent` with that ID, or null.
QWidget* FindControl(const QWidget* parent, int id);

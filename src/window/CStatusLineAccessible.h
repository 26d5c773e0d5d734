#pragma once

#include <QAccessibleWidget>

class QLabel;

// A label that tells how things stand, shown to assistive technology as a status bar:
// the role screen readers watch and read on request, where a plain label is static
// text whose changes they pass over. Its name is its text, and QLabel reports each
// change of that name itself.
class CStatusLineAccessible : public QAccessibleWidget
{
public:
    explicit CStatusLineAccessible(QLabel* label);

    QString text(QAccessible::Text t) const override;

    // Makes `label` a status line; before anything has asked for its interface.
    static void Mark(QLabel* label);
};

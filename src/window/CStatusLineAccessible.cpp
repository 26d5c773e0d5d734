#include "window/CStatusLineAccessible.h"

#include <QLabel>

namespace
{
const char* const StatusLineProperty = "statusLine";

QAccessibleInterface* Factory(const QString& key, QObject* object)
{
    if (key == QLatin1String("QLabel") && object && object->property(StatusLineProperty).toBool())
        return new CStatusLineAccessible(static_cast<QLabel*>(object));
    return nullptr;
}
} // namespace

CStatusLineAccessible::CStatusLineAccessible(QLabel* label)
    : QAccessibleWidget(label, QAccessible::StatusBar)
{
}

QString CStatusLineAccessible::text(QAccessible::Text t) const
{
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
        return static_cast<QLabel*>(widget())->text();
    return QAccessibleWidget::text(t);
}

void CStatusLineAccessible::Mark(QLabel* label)
{
    static const bool installed = (QAccessible::installFactory(Factory), true);
    (void)installed;
    label->setProperty(StatusLineProperty, true);
    // Setting its text made the label Qt's own interface already.
    QAccessibleInterface* made = QAccessible::queryAccessibleInterface(label);
    if (made && made->role() != QAccessible::StatusBar)
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
}

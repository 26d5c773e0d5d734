#include "window/ControlId.h"

#include <QVariant>
#include <QWidget>

namespace
{
const char* const ControlIdProperty = "controlId";
}

void SetControlId(QWidget* control, int id)
{
    control->setProperty(ControlIdProperty, id);
    control->setObjectName(QStringLiteral("control%1").arg(id));
}

int GetControlId(const QObject* control)
{
    if (!control)
        return 0;
    QVariant id = control->property(ControlIdProperty);
    return id.isValid() ? id.toInt() : 0;
}

QWidget* FindControl(const QWidget* parent, int id)
{
    return parent ? parent->findChild<QWidget*>(QStringLiteral("control%1").arg(id)) : nullptr;
}

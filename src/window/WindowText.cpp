#include "window/WindowText.h"

#include "base/CUString.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>

#include <cstdarg>

void SetWindowFormattedText(QWidget* window, const char* format, ...)
{
    if (!window)
        return;
    va_list args;
    va_start(args, format);
    CUString buffer;
    buffer.FormatV(format, args);
    va_end(args);

    QString text = QString::fromLocal8Bit(buffer.c_str());
    if (auto* label = qobject_cast<QLabel*>(window))
        label->setText(text);
    else if (auto* button = qobject_cast<QAbstractButton*>(window))
        button->setText(text);
    else if (auto* edit = qobject_cast<QLineEdit*>(window))
        edit->setText(text);
    else
        window->setWindowTitle(text);
}

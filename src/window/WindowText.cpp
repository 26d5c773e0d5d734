#include "window/WindowText.h"

#include "base/CUString.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>

#include <cstdarg>
#include <cstdio>
#include <vector>

void SetWindowFormattedText(QWidget* window, const char* format, ...)
{
    if (!window)
        return;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::vector<char> buffer(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    if (length > 0)
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);

    QString text = QString::fromLocal8Bit(buffer.data());
    if (auto* label = qobject_cast<QLabel*>(window))
        label->setText(text);
    else if (auto* button = qobject_cast<QAbstractButton*>(window))
        button->setText(text);
    else if (auto* edit = qobject_cast<QLineEdit*>(window))
        edit->setText(text);
    else
        window->setWindowTitle(text);
}

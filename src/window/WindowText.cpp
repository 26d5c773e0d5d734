#include "window/WindowText.h"

#include "base/CUString.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QStringDecoder>

#include <cstdarg>

QString DisplayText(const char* bytes, qsizetype length)
{
    const QByteArrayView view = length < 0 ? QByteArrayView(bytes) : QByteArrayView(bytes, length);
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(view);
    return utf8.hasError() ? QString::fromLatin1(view) : text;
}

void SetWindowFormattedText(QWidget* window, const char* format, ...)
{
    if (!window)
        return;
    va_list args;
    va_start(args, format);
    CUString buffer;
    buffer.FormatV(format, args);
    va_end(args);

    QString text = DisplayText(buffer.c_str());
    if (auto* label = qobject_cast<QLabel*>(window))
        label->setText(text);
    else if (auto* button = qobject_cast<QAbstractButton*>(window))
        button->setText(text);
    else if (auto* edit = qobject_cast<QLineEdit*>(window))
        edit->setText(text);
    else
        window->setWindowTitle(text);
}

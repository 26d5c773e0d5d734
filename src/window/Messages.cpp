#include "window/Messages.h"

#include "base/CUString.h"
#include "window/WindowText.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>

#include <cstdarg>

namespace
{

MessageHandler& CurrentMessageHandler()
{
    static MessageHandler handler;
    return handler;
}

ModalRunner& CurrentModalRunner()
{
    static ModalRunner runner;
    return runner;
}

int ShowMessageBox(const CMessageRequest& request)
{
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent)
        parent = QApplication::activeWindow();
    QMessageBox box(parent);
    box.setWindowTitle(DisplayText(request.Caption.c_str()));
    box.setText(DisplayText(request.Text.c_str()));
    if (request.Question) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? 1 : 0;
    }
    box.setIcon(QMessageBox::Warning);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return 1;
}

int ShowMessage(const CMessageRequest& request)
{
    const MessageHandler& handler = CurrentMessageHandler();
    return handler ? handler(request) : ShowMessageBox(request);
}

} // namespace

MessageHandler SetMessageHandler(MessageHandler handler)
{
    MessageHandler previous = std::move(CurrentMessageHandler());
    CurrentMessageHandler() = std::move(handler);
    return previous;
}

ModalRunner SetModalRunner(ModalRunner runner)
{
    ModalRunner previous = std::move(CurrentModalRunner());
    CurrentModalRunner() = std::move(runner);
    return previous;
}

void Error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    CUString text;
    text.FormatV(format, args);
    va_end(args);

    CMessageRequest request;
    request.Caption = QCoreApplication::applicationName().toLocal8Bit().constData();
    request.Text = text.c_str();
    ShowMessage(request);
}

int AskYesNo(const char* caption, const char* text)
{
    CMessageRequest request;
    request.Question = true;
    request.Caption = caption;
    request.Text = text;
    return ShowMessage(request) ? 1 : 0;
}

int RunModal(QDialog& dialog)
{
    const ModalRunner& runner = CurrentModalRunner();
    if (runner)
        return runner(dialog);
    return dialog.exec() == QDialog::Accepted ? 1 : 0;
}

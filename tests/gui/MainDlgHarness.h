#pragma once

// Window test helpers: answer modal messages and dialogs without a person, click and
// type into controls, and run a main window on a settings file of its own.

#include "TempDir.h"
#include "app/CMainDlg.h"
#include "window/CSelectListCtrl.h"
#include "window/Messages.h"

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using Strings = std::vector<std::string>;

// Records every modal message; questions get the answer set in `Answer`.
class MessageRecorder
{
public:
    MessageRecorder()
    {
        m_previous = SetMessageHandler([this](const CMessageRequest& request) {
            (request.Question ? Questions : Errors).push_back(request.Text.Str());
            Captions.push_back(request.Caption.Str());
            return Answer;
        });
    }
    ~MessageRecorder() { SetMessageHandler(std::move(m_previous)); }

    Strings Errors;
    Strings Questions;
    Strings Captions;
    int Answer = 1;

private:
    MessageHandler m_previous;
};

// Runs every modal dialog through `Script` instead of a person; counts the runs.
class ModalScript
{
public:
    using Script = std::function<int(QDialog&)>;
    explicit ModalScript(Script script = nullptr) : m_script(std::move(script))
    {
        m_previous = SetModalRunner([this](QDialog& dialog) {
            ++Runs;
            return m_script ? m_script(dialog) : 0;
        });
    }
    ~ModalScript() { SetModalRunner(std::move(m_previous)); }
    void Set(Script script) { m_script = std::move(script); }

    int Runs = 0;

private:
    Script m_script;
    ModalRunner m_previous;
};

inline void SendClick(QWidget* widget, const QPoint& point)
{
    QPointF local(point);
    QPointF global(widget->mapToGlobal(point));
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

inline void SendKey(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
                    const QString& text = QString())
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(widget, &release);
}

// Types at the end of the field, or over all of it.
inline void TypeInto(QLineEdit* edit, const QString& text, bool replace = false)
{
    edit->setFocus();
    if (replace)
        edit->selectAll();
    else
        edit->end(false);
    for (QChar c : text)
        SendKey(edit, Qt::Key_A, Qt::NoModifier, QString(c));
}

// A main window on KIVORA.cfg in a fresh directory, shown offscreen.
class MainWindowTest : public ::testing::Test
{
protected:
    std::string ConfigPath() const { return m_dir.File("KIVORA.cfg"); }
    void WriteConfig(const std::string& text) { WriteWholeFile(ConfigPath(), text); }

    CMainDlg& Open()
    {
        m_dialog = std::make_unique<CMainDlg>(nullptr, ConfigPath().c_str());
        m_dialog->show();
        QApplication::processEvents();
        return *m_dialog;
    }
    // Destroys the window as closing the program does.
    void Close() { m_dialog.reset(); }
    CMainDlg& Dialog() { return *m_dialog; }
    CSelectListCtrl* List() { return m_dialog->UserList(); }

    template <class T>
    T* Control(int id)
    {
        return m_dialog->findChild<T*>(QStringLiteral("control%1").arg(id));
    }

    std::string Cell(int row, int column)
    {
        return List()->model()->index(row, column).data().toString().toStdString();
    }
    int RowChecked(int row)
    {
        return List()->model()->index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked;
    }
    std::string Text(int id) { return Control<QLineEdit>(id)->text().toStdString(); }
    Strings Names()
    {
        Strings names;
        for (int row = 0; row < List()->GetItemCount(); ++row)
            names.push_back(Cell(row, 0));
        return names;
    }
    // The rows' check boxes, and the records' Forward flags, in list order.
    std::vector<int> Checks()
    {
        std::vector<int> checks;
        for (int row = 0; row < List()->GetItemCount(); ++row)
            checks.push_back(RowChecked(row));
        return checks;
    }
    std::vector<int> Flags()
    {
        std::vector<int> flags;
        for (CUserSocket* user : Dialog().Settings().Users)
            flags.push_back(user->Forward);
        return flags;
    }
    void Select(std::initializer_list<int> rows)
    {
        List()->clearSelection();
        for (int row : rows)
            List()->selectionModel()->select(List()->model()->index(row, 0),
                                             QItemSelectionModel::Select |
                                                 QItemSelectionModel::Rows);
    }
    void ClickCheckBox(int row) { SendClick(List()->viewport(), List()->CheckRect(row).center()); }
    QString ButtonText(int id) { return Control<QPushButton>(id)->text(); }

    // Starts a real forwarder. Only users at 127.0.0.x may be in the list: a running
    // forwarder sends only to them. Gives false when this process may not capture.
    bool StartForwarding()
    {
        for (CUserSocket* user : Dialog().Settings().Users)
            if (user->IP.Str().rfind("127.0.0.", 0) != 0)
                ADD_FAILURE() << "forwarding test with a non-loopback user " << user->IP.Str();
        if (geteuid() != 0)
            return false;
        MessageRecorder messages;
        Dialog().OnStart();
        return Dialog().IsForwarding() && messages.Errors.empty();
    }

    TempDir m_dir;
    std::unique_ptr<CMainDlg> m_dialog;
};

#define START_FORWARDING_OR_SKIP()                                                                 \
    do {                                                                                           \
        if (!StartForwarding())                                                                    \
            GTEST_SKIP() << "needs root with CAP_NET_RAW to run a real forwarder";                 \
    } while (0)

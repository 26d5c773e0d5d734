#pragma once

// Window test helpers: modal messages and dialogs answered without a person, a main
// window on a settings file of its own; input comes from QTest as from a person.

#include "TempDir.h"
#include "app/CMainDlg.h"
#include "window/CSelectListCtrl.h"
#include "window/Messages.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

using Strings = std::vector<std::string>;
using Ints = std::vector<int>;

// Records every modal message; questions get the answer set in `Answer`.
struct MessageRecorder {
    MessageRecorder()
    {
        m_previous = SetMessageHandler([this](const CMessageRequest& request) {
            (request.Question ? Questions : Errors).push_back(request.Text.Str());
            Captions.push_back(request.Caption.Str());
            return Answer;
        });
    }
    ~MessageRecorder() { SetMessageHandler(std::move(m_previous)); }
    Strings Errors, Questions, Captions;
    int Answer = 1;
    MessageHandler m_previous;
};

// Runs every modal dialog through `Script` instead of a person; counts the runs.
struct ModalScript {
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
    Script m_script;
    ModalRunner m_previous;
};

inline void SendKey(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTest::keyClick(widget, Qt::Key(key), modifiers);
}

// Types at the end of the field, or over all of it.
inline void TypeInto(QLineEdit* edit, const QString& text, bool replace = false)
{
    edit->setFocus();
    replace ? edit->selectAll() : edit->end(false);
    QTest::keyClicks(edit, text);
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
    void Close() { m_dialog.reset(); } // as closing the program does
    CMainDlg& Dialog() { return *m_dialog; }
    CSelectListCtrl* List() { return m_dialog->UserList(); }
    template <class T = QWidget>
    T* Control(int id)
    {
        return m_dialog->findChild<T*>(QStringLiteral("control%1").arg(id));
    }
    std::string Cell(int row, int column, int role = Qt::DisplayRole)
    {
        return List()->model()->index(row, column).data(role).toString().toStdString();
    }
    int RowChecked(int row)
    {
        return List()->model()->index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked;
    }
    std::string Text(int id) { return Control<QLineEdit>(id)->text().toStdString(); }
    QString ButtonText(int id) { return Control<QPushButton>(id)->text(); }
    Strings Names()
    {
        Strings names;
        for (int row = 0; row < List()->GetItemCount(); ++row)
            names.push_back(Cell(row, 0));
        return names;
    }
    // The rows' check boxes, and the records' Forward flags, in list order.
    Ints Checks()
    {
        Ints checks;
        for (int row = 0; row < List()->GetItemCount(); ++row)
            checks.push_back(RowChecked(row));
        return checks;
    }
    Ints Flags()
    {
        Ints flags;
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
    void Click(const QPoint& point)
    {
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, point);
    }
    void ClickCheckBox(int row) { Click(List()->CheckRect(row).center()); }

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

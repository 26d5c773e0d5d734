#pragma once

// Window tests: modal messages and dialogs answered without a person, input by QTest.

#include "TempDir.h"
#include "app/CMainDlg.h"
#include "window/CSelectListCtrl.h"
#include "window/Messages.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

using Strings = std::vector<std::string>;

// Records every modal message; questions get the answer set in `Answer`.
struct MessageRecorder {
    ~MessageRecorder() { SetMessageHandler(std::move(m_previous)); }
    int Record(const CMessageRequest& message)
    {
        (message.Question ? Questions : Errors).push_back(message.Text.Str());
        Captions.push_back(message.Caption.Str());
        return Answer;
    }
    Strings Errors, Questions, Captions;
    int Answer = 1;
    MessageHandler m_previous = SetMessageHandler([this](auto& m) { return Record(m); });
};

// Runs every modal dialog through a script instead of a person; counts the runs.
struct ModalScript {
    using Script = std::function<int(QDialog&)>;
    explicit ModalScript(Script script = nullptr) : m_script(std::move(script)) {}
    int Run(QDialog& dialog) { return ++Runs, m_script ? m_script(dialog) : 0; }
    ~ModalScript() { SetModalRunner(std::move(m_previous)); }
    void Set(Script script) { m_script = std::move(script); }
    int Runs = 0;
    Script m_script;
    ModalRunner m_previous = SetModalRunner([this](QDialog& d) { return Run(d); });
};

// Runs the event loop (the window's timers, queued calls) until `done`, for 5 s at most.
inline bool ProcessUntil(const std::function<bool()>& done)
{
    for (int waited = 0; waited < 5000; waited += 5, ::usleep(5000))
        if (QApplication::processEvents(), done())
            return true;
    return false;
}

// Types at the end of the field, or over all of it.
inline void TypeInto(QLineEdit* edit, const QString& text, bool replace = false)
{
    edit->setFocus();
    replace ? edit->selectAll() : edit->end(false);
    QTest::keyClicks(edit, text);
}

// What the program writes to stderr goes into `path` while this lives.
class StderrToFile
{
public:
    explicit StderrToFile(std::string path) : m_path(std::move(path))
    {
        std::fflush(stderr);
        const int file = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(file, 2), ::close(file);
    }
    ~StderrToFile() { std::fflush(stderr), ::dup2(m_saved, 2), ::close(m_saved); }
    std::string Text() const { return std::fflush(stderr), ReadWholeFile(m_path); }

private:
    std::string m_path;
    int m_saved = ::dup(2);
};

// A main window on KIVORA.cfg in a fresh directory, shown offscreen.
class MainWindowTest : public ::testing::Test
{
protected:
    std::string ConfigPath() const { return m_dir.File("KIVORA.cfg"); }
    void WriteConfig(const std::string& text) { WriteWholeFile(ConfigPath(), text); }
    void Open()
    {
        m_dialog = std::make_unique<CMainDlg>(nullptr, ConfigPath().c_str());
        m_dialog->show();
    }
    void Close() { m_dialog.reset(); } // as closing the program does
    CMainDlg& Dialog() { return *m_dialog; }
    CSelectListCtrl* List() { return m_dialog->UserList(); }
    template <class T = QWidget>
    T* Control(int id)
    {
        return m_dialog->findChild<T*>(QString("control%1").arg(id));
    }
    QVariant Data(int r, int c, int role) { return List()->model()->index(r, c).data(role); }
    std::string Cell(int r, int c, int role = 0)
    {
        return Data(r, c, role).toString().toStdString();
    }
    std::string Text(int id) { return Control<QLineEdit>(id)->text().toStdString(); }
    QString ButtonText(int id) { return Control<QPushButton>(id)->text(); }
    // Every row as its name, its check box and its record's Forward flag (+ or -).
    std::string Rows()
    {
        std::string rows;
        for (int row = 0; row < List()->GetItemCount(); ++row) {
            CUserSocket* user = Dialog().Settings().Users.GetAt(row);
            rows += (row ? " " : "") + Cell(row, 0) +
                    "-+"[Data(row, 0, Qt::CheckStateRole).toInt() == Qt::Checked] +
                    (user && user->Forward ? "+" : "-");
        }
        return rows;
    }
    void Select(std::initializer_list<int> rows)
    {
        List()->clearSelection();
        for (int row : rows)
            List()->selectionModel()->select(List()->model()->index(row, 0),
                                             QItemSelectionModel::Select |
                                                 QItemSelectionModel::Rows);
    }
    void Click(QPoint point) { QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, point); }
    void ClickCheckBox(int row) { Click(List()->CheckRect(row).center()); }
    // Starts a real forwarder. Only users at 127.0.0.x may be in the list: a running
    // forwarder sends only to them. Gives false when this process may not capture.
    bool StartForwarding()
    {
        for (CUserSocket* user : Dialog().Settings().Users)
            if (user->IP.Str().rfind("127.0.0.", 0) != 0)
                ADD_FAILURE() << "forwarding test with a non-loopback user " << user->IP.Str();
        MessageRecorder messages;
        if (geteuid() == 0)
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

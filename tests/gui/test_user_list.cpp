#include "MainDlgHarness.h"
#include "ScopedLocale.h"

#include "app/Resource.h"
#include "users/CUserDlg.h"

#include <QAccessible>
#include <QAction>
#include <QMenu>
#include <QTimer>

#include <arpa/inet.h>

// Types into the user editor as a person would and presses OK, or Cancel.
static ModalScript::Script Editor(const char* name, const char* ip, bool ok = true)
{
    return [=](QDialog& dialog) {
        auto& editor = dynamic_cast<CUserDlg&>(dialog);
        editor.NameEdit()->clear(), editor.IPEdit()->clear();
        QTest::keyClicks(editor.NameEdit(), name);
        QTest::keyClicks(editor.IPEdit(), ip);
        return ok ? editor.OnOK(), editor.result() : 0;
    };
}

using UserListView = MainWindowTest;

// Faults: a second row for a known user, a new user not at the top, the own name added
// as a user, a click beside a box toggling it, rows and records out of step, Space or
// the Toggle action of assistive technology not toggling the box as a click does; run again
// while forwarding: a change of users or of what is forwarded leaving the forwarder on
// stale users, a command that changes nothing stopping it.
TEST_F(UserListView, CommandsKeepRowsAndRecordsInStepAndStopForwardingFirst)
{
    for (bool forwarding : {false, true}) {
        WriteConfig("AutoName=Ann\nExternalIP=127.0.0.1\n127.0.0.11\tAl\n;127.0.0.12\tBo\n"
                    "127.0.0.13\tCy\n;127.0.0.14\tDi\n127.0.0.15\tEd\n");
        Open();
        MessageRecorder messages;
        ModalScript editor;
        auto add = [&](const char* name, const char* ip, bool ok = true) {
            editor.Set(Editor(name, ip, ok)), Dialog().OnAddUser();
        };
        auto edit = [&] { Dialog().OnEditUser(); };
        const QRect box = List()->CheckRect(2);
        QAction* more = nullptr;
        for (QAction* action : Dialog().SystemMenu()->actions())
            more = action->text() == "Also forward subnet broadcasts and multicast" ? action : more;
        ASSERT_TRUE(more && more->isCheckable() && !more->isChecked());
        struct Step {
            const char* what;
            std::function<void()> command;
            bool stops;
            const char* rows; // name, check box, record's flag
        } steps[] = {
            // clang-format off
            {"Add cancelled", [&] { add("Eve", "127.0.0.40", false); }, false, "Al++ Bo-- Cy++ Di-- Ed++"},
            {"Add of a known name in other case updates, checks", [&] { add("BO", "127.0.0.30"); }, true, "Al++ BO++ Cy++ Di-- Ed++"},
            {"Add of a known IP renames that user", [&] { add("Zed", "127.0.0.14"); }, true, "Al++ BO++ Cy++ Zed++ Ed++"},
            {"Add of the own name sets the external IP", [&] { add("Ann", "127.0.0.99"); }, true, "Al++ BO++ Cy++ Zed++ Ed++"},
            {"Add of the own name in other case: new, at the top", [&] { add("ann", "127.0.0.21"); }, true, "ann++ Al++ BO++ Cy++ Zed++ Ed++"},
            {"clicks on a name, an IP, below the rows", [&] { Click(box.center() + QPoint(40, 0)), Click(box.center() + QPoint(160, 0)), Click({box.x(), List()->viewport()->height() - 2}); }, false, "ann++ Al++ BO++ Cy++ Zed++ Ed++"},
            {"clicks on two boxes", [&] { ClickCheckBox(1), ClickCheckBox(4); }, true, "ann++ Al-- BO++ Cy++ Zed-- Ed++"},
            {"Space on the current row", [&] { List()->setCurrentIndex(List()->model()->index(1, 1)), QTest::keyClick(List(), Qt::Key_Space); }, true, "ann++ Al++ BO++ Cy++ Zed-- Ed++"},
            {"a screen reader's Toggle action on a row's box", [&] { QAccessible::queryAccessibleInterface(List())->tableInterface()->cellAt(1, 0)->actionInterface()->doAction(QAccessibleActionInterface::toggleAction()); }, true, "ann++ Al-- BO++ Cy++ Zed-- Ed++"},
            {"Edit refused: none or two selected", [&] { Select({}), edit(), Select({0, 2}), edit(); }, false, "ann++ Al-- BO++ Cy++ Zed-- Ed++"},
            {"Edit cancelled", [&] { editor.Set(Editor("x", "y", false)), Select({1}), edit(); }, true, "ann++ Al-- BO++ Cy++ Zed-- Ed++"},
            {"Edit of one row, in place", [&] { editor.Set(Editor("Bob", "127.0.0.50")), Select({2}), edit(); }, true, "ann++ Al-- Bob++ Cy++ Zed-- Ed++"},
            {"Delete with nothing selected", [&] { Select({}), Dialog().OnDeleteUsers(); }, false, "ann++ Al-- Bob++ Cy++ Zed-- Ed++"},
            {"Delete answered No", [&] { messages.Answer = 0, Select({0, 3}), Dialog().OnDeleteUsers(); }, false, "ann++ Al-- Bob++ Cy++ Zed-- Ed++"},
            {"Delete answered Yes", [&] { messages.Answer = 1, Dialog().OnDeleteUsers(); }, true, "Al-- Bob++ Zed-- Ed++"},
            {"the ForwardMore switch", [&] { more->trigger(); }, true, "Al-- Bob++ Zed-- Ed++"},
            // clang-format on
        };
        for (const Step& step : steps) {
            if (forwarding && !Dialog().IsForwarding())
                START_FORWARDING_OR_SKIP();
            step.command();
            EXPECT_EQ(Rows(), step.rows) << step.what;
            EXPECT_EQ(ButtonText(IDC_START).remove('&'),
                      !forwarding || step.stops ? "Start" : "Stop")
                << step.what;
        }
        EXPECT_EQ(messages.Errors, Strings(2, "You must select a single user to edit."));
        EXPECT_EQ(messages.Questions, Strings(2, "Delete user(s)?"));
        EXPECT_EQ(messages.Captions.back(), "Confirm");
        EXPECT_EQ(Text(IDC_EXTERNAL_IP), "127.0.0.99");
        EXPECT_TRUE(Dialog().Settings().ForwardMore == 1 && more->isChecked());
        char address[INET_ADDRSTRLEN] = ""; // the edited user's copies go to the new IP
        inet_ntop(AF_INET, &Dialog().Settings().Users.GetAt(1)->Address.sin_addr, address, 16);
        EXPECT_EQ(std::string(address), "127.0.0.50");
    }
}

// Under tr_TR, with a name that is not UTF-8 (Latin-1 from an older file or a peer). Faults:
// the name shown as "Jos?" and rewritten as replacement bytes by an Edit that changed nothing;
// letters folded by the C library, making "MIKE" and "mike" two players.
TEST_F(UserListView, NamesKeepTheirBytesAndFoldAsInEnglish)
{
    LOCALE_OR_SKIP(turkish, "tr_TR.UTF-8");
    const std::string head = "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0.1\nForwardMore=0\n";
    WriteConfig(head + "10.0.0.1\tJos\xe9\n10.0.0.2\tMIKE\n");
    Open();
    ModalScript editor([](QDialog& dialog) { return dynamic_cast<CUserDlg&>(dialog).OnOK(), 1; });
    Select({0}), Dialog().OnEditUser();
    editor.Set(Editor("mike", "10.0.0.3")), Dialog().OnAddUser();
    EXPECT_EQ(Rows(), "Jos\u00e9++ mike++");
    Close();
    EXPECT_EQ(ReadWholeFile(ConfigPath()), head + "10.0.0.1\tJos\xe9\n10.0.0.3\tmike\n");
}

// A really running editor, opened on "Cy" 10.0.0.3, typed into; a key pressed. One
// that stays open (as it must on bad input) is closed with result 5. Faults: a bad
// address accepted (which texts are: AddressText), the IP checked before the name,
// refused or cancelled input stored, a name trimmed, focus on the wrong field.
TEST(UserEditor, OnlyValidInputIsStoredWholeAndTheWrongFieldIsSelected)
{
    const char *ipError = "Enter a valid IP address", *kept = "Cy|10.0.0.3";
    struct Case {
        const char *what, *name, *ip;
        Qt::Key key;
        const char *error, *focus; // the field to correct, all selected
        int result;
        const char* stored;
    } cases[] = {
        // clang-format off
        {"both empty: the name first", "", "", Qt::Key_Return, "Enter a name", "", 5, kept},
        {"a four-digit octet", "Al", "10.0.0.0001", Qt::Key_Return, ipError, "10.0.0.0001", 5, kept},
        {"Escape after typing", "Xavier", "10.9.9.9", Qt::Key_Escape, nullptr, "", 0, kept},
        {"blanks in a name are kept", "  Big Al  ", "192.168.0.7", Qt::Key_Return, nullptr, "", 1, "  Big Al  |192.168.0.7"},
        // clang-format on
    };
    for (const Case& c : cases) {
        CUString name("Cy"), ip("10.0.0.3");
        CUserDlg dialog(&name, &ip, nullptr);
        MessageRecorder messages;
        EXPECT_EQ(dialog.windowTitle() + dialog.NameEdit()->text(), "Add UserCy"); // opened on it
        QString focus, selected;
        QTimer::singleShot(0, [&] {
            Editor(c.name, c.ip, false)(dialog);
            QTest::keyClick(dialog.IPEdit(), c.key);
            if (auto* edit = qobject_cast<QLineEdit*>(dialog.focusWidget()); dialog.isVisible())
                focus = edit->text(), selected = edit->selectedText(), dialog.done(5);
        });
        EXPECT_EQ(dialog.exec(), c.result) << c.what;
        EXPECT_EQ(messages.Errors, c.error ? Strings{c.error} : Strings{}) << c.what;
        EXPECT_EQ(focus, c.focus) << c.what;
        EXPECT_EQ(selected, focus) << c.what;
        EXPECT_EQ(name.Str() + "|" + ip.Str(), c.stored) << c.what;
    }
}

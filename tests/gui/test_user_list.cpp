#include "MainDlgHarness.h"

#include "app/Resource.h"
#include "users/CUserDlg.h"

#include <QAction>
#include <QMenu>

#include <arpa/inet.h>

namespace
{

// Fills the user editor as a person would and presses OK, or Cancel when `ok` is false.
ModalScript::Script Editor(const char* name, const char* ip, bool ok = true)
{
    return [=](QDialog& dialog) {
        auto* editor = dynamic_cast<CUserDlg*>(&dialog);
        EXPECT_NE(editor, nullptr);
        if (!editor)
            return 0;
        editor->NameEdit()->clear();
        editor->IPEdit()->clear();
        QTest::keyClicks(editor->NameEdit(), name);
        QTest::keyClicks(editor->IPEdit(), ip);
        if (ok)
            editor->OnOK();
        return ok ? editor->result() : 0;
    };
}

const char* const FiveUsers = "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0.1\n127.0.0.11\tAl\n"
                              ";127.0.0.12\tBo\n127.0.0.13\tCy\n;127.0.0.14\tDi\n127.0.0.15\tEd\n";

} // namespace

using UserList = MainWindowTest;

// Faults: a second row for a known user, a new user not at the top, the own name
// added as a user, the address not following the IP, a lost or wrong check box.
TEST_F(UserList, AddAndEditKeepOneRowPerUser)
{
    WriteConfig(FiveUsers);
    Open();
    ModalScript editor;
    struct Case {
        const char *what, *name, *ip;
        bool ok;
        Strings names;
        Ints checks;
    } cases[] = {
        {"Cancel changes nothing",
         "Eve",
         "127.0.0.40",
         false,
         {"Al", "Bo", "Cy", "Di", "Ed"},
         {1, 0, 1, 0, 1}},
        {"a known name in other case updates and checks",
         "BO",
         "127.0.0.30",
         true,
         {"Al", "BO", "Cy", "Di", "Ed"},
         {1, 1, 1, 0, 1}},
        {"a known IP renames that user",
         "Zed",
         "127.0.0.14",
         true,
         {"Al", "BO", "Cy", "Zed", "Ed"},
         {1, 1, 1, 1, 1}},
        {"the own name sets the external IP, no row",
         "Ann",
         "127.0.0.99",
         true,
         {"Al", "BO", "Cy", "Zed", "Ed"},
         {1, 1, 1, 1, 1}},
        {"the own name in other case is someone else",
         "ann",
         "127.0.0.21",
         true,
         {"ann", "Al", "BO", "Cy", "Zed", "Ed"},
         {1, 1, 1, 1, 1, 1}},
    };
    for (const Case& c : cases) {
        editor.Set(Editor(c.name, c.ip, c.ok));
        Control<QPushButton>(IDC_ADD_USER)->click();
        EXPECT_EQ(Names(), c.names) << c.what;
        EXPECT_EQ(Checks(), c.checks) << c.what;
        EXPECT_EQ(Flags(), c.checks) << c.what;
    }
    EXPECT_EQ(Text(IDC_EXTERNAL_IP), "127.0.0.99");

    MessageRecorder messages;
    for (auto rows : {std::initializer_list<int>{}, {0, 2}}) {
        Select(rows);
        Control<QPushButton>(IDC_EDIT_USER)->click();
    }
    EXPECT_EQ(messages.Errors, Strings(2, "You must select a single user to edit."));
    QString shown;
    editor.Set([&](QDialog& dialog) {
        auto* user = dynamic_cast<CUserDlg*>(&dialog);
        shown = user->windowTitle() + "|" + user->NameEdit()->text() + "|" + user->IPEdit()->text();
        return Editor("Bob", "127.0.0.50")(dialog);
    });
    Select({2});
    Dialog().OnEditUser();
    EXPECT_EQ(shown, "Add User|BO|127.0.0.30");
    EXPECT_EQ(Cell(2, 0) + " " + Cell(2, 1), "Bob 127.0.0.50"); // shown at once
    CUserSocket* bob = Dialog().Settings().Users.GetAt(2);
    char address[INET_ADDRSTRLEN] = "";
    EXPECT_STREQ(inet_ntop(AF_INET, &bob->Address.sin_addr, address, sizeof address), "127.0.0.50");
    EXPECT_EQ(bob->Forward, 1); // the check box is not the editor's
}

// Faults: rows and records out of step after a delete or a click, a click beside a
// box toggling it, a question when nothing is selected.
TEST_F(UserList, DeleteAndCheckBoxesKeepRowsAndRecordsInStep)
{
    WriteConfig(FiveUsers);
    Open();
    MessageRecorder messages;
    const QRect box = List()->CheckRect(2);
    ASSERT_FALSE(box.isEmpty());
    // Beside the boxes: on the name, on the IP column, below the last row.
    for (QPoint p : {QPoint(box.right() + 30, box.center().y()),
                     List()->visualRect(List()->model()->index(2, 1)).center(),
                     QPoint(box.center().x(), List()->viewport()->height() - 2)})
        Click(p);
    EXPECT_EQ(Flags(), (Ints{1, 0, 1, 0, 1}));
    ClickCheckBox(1);
    ClickCheckBox(4);
    EXPECT_EQ(Flags(), (Ints{1, 1, 1, 0, 0}));
    EXPECT_EQ(Checks(), Flags());

    Select({});
    Dialog().OnDeleteUsers();
    EXPECT_TRUE(messages.Questions.empty());
    messages.Answer = 0;
    Select({0, 2, 3});
    Dialog().OnDeleteUsers();
    EXPECT_EQ(Names().size(), 5u);
    messages.Answer = 1;
    Control<QPushButton>(IDC_DELETE_USERS)->click();
    EXPECT_EQ(messages.Questions, Strings(2, "Delete user(s)?"));
    EXPECT_EQ(messages.Captions, Strings(2, "Confirm"));
    EXPECT_EQ(Names(), (Strings{"Bo", "Ed"}));
    EXPECT_EQ(Checks(), (Ints{1, 0}));
    EXPECT_EQ(Flags(), Checks());
}

// Faults: a command that changes users or what is forwarded leaving the forwarder
// running on stale users, or one that changes nothing stopping it.
TEST_F(UserList, ChangesStopForwardingFirstOthersLeaveItRunning)
{
    WriteConfig(FiveUsers);
    Open();
    MessageRecorder messages;
    ModalScript editor;
    QAction* more = nullptr;
    for (QAction* action : Dialog().SystemMenu()->actions())
        if (action->text() == "Also forward subnet broadcasts and multicast")
            more = action;
    ASSERT_NE(more, nullptr);
    struct Case {
        const char* what;
        std::function<void()> command;
        bool running;
    } cases[] = {
        {"Add cancelled",
         [&] { editor.Set(Editor("Eve", "127.0.0.40", false)), Dialog().OnAddUser(); }, true},
        {"Edit refused: two rows",
         [&] {
             Select({0, 2}), Dialog().OnEditUser();
         },
         true},
        {"Delete answered No", [&] { messages.Answer = 0, Dialog().OnDeleteUsers(); }, true},
        {"a click beside a box", [&] { Click(List()->CheckRect(1).center() + QPoint(40, 0)); },
         true},
        {"Add confirmed", [&] { editor.Set(Editor("Eve", "127.0.0.40")), Dialog().OnAddUser(); },
         false},
        {"Edit cancelled",
         [&] { editor.Set(Editor("x", "y", false)), Select({0}), Dialog().OnEditUser(); }, false},
        {"Delete answered Yes", [&] { messages.Answer = 1, Select({1}), Dialog().OnDeleteUsers(); },
         false},
        {"a click on a box", [&] { ClickCheckBox(1); }, false},
        {"the ForwardMore switch", [&] { more->trigger(); }, false},
    };
    for (const Case& c : cases) {
        if (!Dialog().IsForwarding())
            START_FORWARDING_OR_SKIP();
        c.command();
        EXPECT_EQ(Dialog().IsForwarding(), c.running) << c.what;
        EXPECT_EQ(ButtonText(IDC_START), c.running ? "Stop" : "Start") << c.what;
    }
    EXPECT_EQ(Dialog().Settings().ForwardMore, 1);
}

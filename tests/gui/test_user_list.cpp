#include "MainDlgHarness.h"

#include "app/Resource.h"
#include "users/CUserDlg.h"

#include <QLineEdit>

#include <arpa/inet.h>

namespace
{

// Fills the user editor as a person would and presses OK, or Cancel when `ok` is false.
ModalScript::Script TypeIntoEditor(const char* name, const char* ip, bool ok = true)
{
    return [=](QDialog& dialog) {
        auto* editor = dynamic_cast<CUserDlg*>(&dialog);
        EXPECT_NE(editor, nullptr);
        if (!editor)
            return 0;
        editor->NameEdit()->setText(name);
        editor->IPEdit()->setText(ip);
        if (!ok)
            return 0;
        editor->OnOK();
        return editor->result();
    };
}

const char* const ThreeUsers = "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0.1\nForwardMore=0\n"
                               "127.0.0.11\tAl\n;127.0.0.12\tBo\n127.0.0.13\tCy\n";
const char* const FiveUsers = "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0.1\nForwardMore=0\n"
                              "127.0.0.11\tAl\n;127.0.0.12\tBo\n127.0.0.13\tCy\n"
                              ";127.0.0.14\tDi\n127.0.0.15\tEd\n";

// A record as "name ip address forward"; the address is where datagrams go.
std::string Record(CMainDlg& dialog, int index)
{
    CUserSocket* user = dialog.Settings().Users.GetAt(index);
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &user->Address.sin_addr, address, sizeof address);
    return user->Name.Str() + " " + user->IP.Str() + " " + address + " " +
           std::to_string(user->Forward);
}

} // namespace

using AddUser = MainWindowTest;

TEST_F(AddUser, NewUserAtTheTopOthersUpdatedOwnNameSetsExternalIP)
{
    WriteConfig(ThreeUsers);
    Open();
    ModalScript editor(TypeIntoEditor("Eve", "127.0.0.40", false));
    Dialog().OnAddUser(); // Cancel changes nothing
    EXPECT_EQ(Names(), (Strings{"Al", "Bo", "Cy"}));
    editor.Set(TypeIntoEditor("BO", "127.0.0.30")); // name in another case
    Dialog().OnAddUser();
    EXPECT_EQ(Names(), (Strings{"Al", "BO", "Cy"}));
    EXPECT_EQ(Cell(1, 1), "127.0.0.30");
    EXPECT_EQ(Checks(), (std::vector<int>{1, 1, 1})); // updating checks the user again

    editor.Set(TypeIntoEditor("Zed", "127.0.0.13")); // an IP already listed
    Dialog().OnAddUser();
    EXPECT_EQ(Names(), (Strings{"Al", "BO", "Zed"}));
    EXPECT_EQ(Record(Dialog(), 2), "Zed 127.0.0.13 127.0.0.13 1");

    editor.Set(TypeIntoEditor("Ann", "127.0.0.99")); // this player's own name
    Dialog().OnAddUser();
    EXPECT_EQ(List()->GetItemCount(), 3);
    EXPECT_EQ(Text(IDC_EXTERNAL_IP), "127.0.0.99");
    EXPECT_EQ(Dialog().Settings().ExternalIP.Str(), "127.0.0.99");

    ClickCheckBox(2);
    editor.Set(TypeIntoEditor("ann", "127.0.0.21")); // another case is someone else
    Dialog().OnAddUser();
    editor.Set(TypeIntoEditor("Dee Dee", "127.0.0.20"));
    Control<QPushButton>(IDC_ADD_USER)->click();
    EXPECT_EQ(Names(), (Strings{"Dee Dee", "ann", "Al", "BO", "Zed"}));
    EXPECT_EQ(Cell(0, 1), "127.0.0.20");
    EXPECT_EQ(Checks(), (std::vector<int>{1, 1, 1, 1, 0}));
    Close();
    EXPECT_NE(ReadWholeFile(ConfigPath())
                  .find("ExternalIP=127.0.0.99\nForwardMore=0\n127.0.0.20\tDee Dee\n"),
              std::string::npos);
}

TEST_F(AddUser, CancelLeavesForwardingRunningOKStopsIt)
{
    WriteConfig(ThreeUsers);
    Open();
    START_FORWARDING_OR_SKIP();
    ModalScript editor(TypeIntoEditor("Eve", "127.0.0.40", false));
    Dialog().OnAddUser();
    EXPECT_TRUE(Dialog().IsForwarding());
    EXPECT_EQ(ButtonText(IDC_START), "Stop");

    editor.Set(TypeIntoEditor("Eve", "127.0.0.40"));
    Dialog().OnAddUser();
    EXPECT_FALSE(Dialog().IsForwarding());
    EXPECT_EQ(ButtonText(IDC_START), "Start");
}

using EditUser = MainWindowTest;

TEST_F(EditUser, OneRowOnlyCancelKeepsTheRecordAChangedIPFollowsAtOnce)
{
    WriteConfig(ThreeUsers);
    Open();
    MessageRecorder messages;
    ModalScript editor(TypeIntoEditor("Xavier", "127.0.0.77", false));
    Select({});
    Dialog().OnEditUser();
    Select({0, 2});
    Control<QPushButton>(IDC_EDIT_USER)->click();
    EXPECT_EQ(messages.Errors, Strings(2, "You must select a single user to edit."));
    EXPECT_EQ(editor.Runs, 0);

    Select({0});
    Dialog().OnEditUser();
    EXPECT_EQ(Record(Dialog(), 0), "Al 127.0.0.11 127.0.0.11 1");

    QString shown; // caption, name, IP
    editor.Set([&](QDialog& dialog) {
        auto* userDlg = dynamic_cast<CUserDlg*>(&dialog);
        shown = userDlg->windowTitle() + "|" + userDlg->NameEdit()->text() + "|" +
                userDlg->IPEdit()->text();
        return TypeIntoEditor("Bob", "127.0.0.50")(dialog);
    });
    Select({1});
    Dialog().OnEditUser();
    EXPECT_EQ(shown, "Add User|Bo|127.0.0.12");
    EXPECT_EQ(Cell(1, 0), "Bob");
    EXPECT_EQ(Cell(1, 1), "127.0.0.50");
    EXPECT_EQ(Record(Dialog(), 1), "Bob 127.0.0.50 127.0.0.50 0"); // the box is not the editor's

    START_FORWARDING_OR_SKIP();
    Select({0, 2});
    Dialog().OnEditUser();
    EXPECT_TRUE(Dialog().IsForwarding()); // the refusal leaves it running
    editor.Set(TypeIntoEditor("Xavier", "127.0.0.77", false));
    Select({0});
    Dialog().OnEditUser();
    EXPECT_FALSE(Dialog().IsForwarding()); // stopped before the editor opened
    EXPECT_EQ(ButtonText(IDC_START), "Start");
}

using DeleteUsers = MainWindowTest;

TEST_F(DeleteUsers, YesRemovesTheSelectedNoOrNothingSelectedChangesNothing)
{
    WriteConfig(FiveUsers);
    Open();
    MessageRecorder messages;
    Select({});
    Dialog().OnDeleteUsers();
    EXPECT_TRUE(messages.Questions.empty());
    messages.Answer = 0;
    Select({1, 4});
    Dialog().OnDeleteUsers();
    EXPECT_EQ(List()->GetItemCount(), 5);
    EXPECT_EQ(Dialog().Settings().Users.GetCount(), 5);

    messages.Answer = 1;
    Select({0, 2, 3});
    Control<QPushButton>(IDC_DELETE_USERS)->click();
    EXPECT_EQ(messages.Questions, Strings(2, "Delete user(s)?"));
    EXPECT_EQ(messages.Captions, Strings(2, "Confirm"));
    EXPECT_EQ(Names(), (Strings{"Bo", "Ed"}));
    EXPECT_EQ(Checks(), (std::vector<int>{0, 1}));
    EXPECT_EQ(Dialog().Settings().Users.GetCount(), 2);
    EXPECT_EQ(Dialog().Settings().Users.GetAt(0)->Name.Str(), "Bo");
    Close();
    EXPECT_EQ(ReadWholeFile(ConfigPath()),
              "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0.1\nForwardMore=0\n"
              ";127.0.0.12\tBo\n127.0.0.15\tEd\n");
}

TEST_F(DeleteUsers, NoKeepsForwardingYesStopsIt)
{
    WriteConfig(FiveUsers);
    Open();
    START_FORWARDING_OR_SKIP();
    MessageRecorder messages;
    messages.Answer = 0;
    Select({1, 4});
    Dialog().OnDeleteUsers();
    EXPECT_TRUE(Dialog().IsForwarding());
    messages.Answer = 1;
    Dialog().OnDeleteUsers();
    EXPECT_FALSE(Dialog().IsForwarding());
    EXPECT_EQ(Names(), (Strings{"Al", "Cy", "Di"}));
}

using CheckBoxes = MainWindowTest;

TEST_F(CheckBoxes, OnlyAClickOnABoxTogglesItIntoTheRecord)
{
    WriteConfig(FiveUsers);
    Open();
    QRect box = List()->CheckRect(2);
    ASSERT_FALSE(box.isEmpty());
    // On the name text, on the IP column, and below the last row.
    SendClick(List()->viewport(), QPoint(box.right() + 30, box.center().y()));
    SendClick(List()->viewport(), List()->visualRect(List()->model()->index(2, 1)).center());
    SendClick(List()->viewport(), QPoint(box.center().x(), List()->viewport()->height() - 2));
    EXPECT_EQ(Flags(), (std::vector<int>{1, 0, 1, 0, 1}));

    ClickCheckBox(1);
    ClickCheckBox(4);
    EXPECT_EQ(Flags(), (std::vector<int>{1, 1, 1, 0, 0}));
    EXPECT_EQ(Checks(), Flags());
    Close();
    EXPECT_EQ(ReadWholeFile(ConfigPath()), "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0."
                                           "1\nForwardMore=0\n127.0.0.11\tAl\n127.0.0.12\tBo\n"
                                           "127.0.0.13\tCy\n;127.0.0.14\tDi\n;127.0.0.15\tEd\n");
}

TEST_F(CheckBoxes, ClickOnABoxWhileForwardingStopsItBesideDoesNot)
{
    WriteConfig(FiveUsers);
    Open();
    START_FORWARDING_OR_SKIP();
    QRect box = List()->CheckRect(2);
    SendClick(List()->viewport(), QPoint(box.right() + 30, box.center().y()));
    EXPECT_TRUE(Dialog().IsForwarding());
    EXPECT_EQ(ButtonText(IDC_START), "Stop");
    ClickCheckBox(0);
    EXPECT_FALSE(Dialog().IsForwarding());
    EXPECT_EQ(ButtonText(IDC_START), "Start");
    EXPECT_EQ(Flags(), (std::vector<int>{0, 0, 1, 0, 1}));
    EXPECT_EQ(Checks(), Flags());
}

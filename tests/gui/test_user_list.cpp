#include "MainDlgHarness.h"

#include "app/Resource.h"
#include "users/CUserDlg.h"

#include <QLineEdit>

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

const char* const ThreeUsers = "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0.1\n"
                               "127.0.0.11\tAl\n;127.0.0.12\tBo\n127.0.0.13\tCy\n";
const char* const FiveUsers = "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0.1\n"
                              "127.0.0.11\tAl\n;127.0.0.12\tBo\n127.0.0.13\tCy\n"
                              ";127.0.0.14\tDi\n127.0.0.15\tEd\n";

std::vector<int> ForwardFlags(CSettings& settings)
{
    std::vector<int> flags;
    for (CUserSocket* user : settings.Users)
        flags.push_back(user->Forward);
    return flags;
}

} // namespace

using AddUser = MainWindowTest;

TEST_F(AddUser, NewUserAppearsCheckedAtTheTop)
{
    WriteConfig(ThreeUsers);
    Open();
    ModalScript editor(TypeIntoEditor("Dee Dee", "127.0.0.20"));
    Control<QPushButton>(IDC_ADD_USER)->click();
    EXPECT_EQ(Names(), (std::vector<std::string>{"Dee Dee", "Al", "Bo", "Cy"}));
    EXPECT_EQ(Cell(0, 1), "127.0.0.20");
    EXPECT_TRUE(RowChecked(0));
    EXPECT_FALSE(RowChecked(2));
    Close();
    EXPECT_NE(ReadWholeFile(ConfigPath()).find("ExternalIP=127.0.0.1\n127.0.0.20\tDee Dee\n"),
              std::string::npos);
}

TEST_F(AddUser, ExistingNameInOtherCaseOrExistingIPUpdatesThatRow)
{
    WriteConfig(ThreeUsers);
    Open();
    ModalScript editor(TypeIntoEditor("BO", "127.0.0.30"));
    Dialog().OnAddUser();
    EXPECT_EQ(Names(), (std::vector<std::string>{"Al", "BO", "Cy"}));
    EXPECT_EQ(Cell(1, 1), "127.0.0.30");
    EXPECT_TRUE(RowChecked(1)); // updating checks the user again

    editor.Set(TypeIntoEditor("Zed", "127.0.0.13"));
    Dialog().OnAddUser();
    EXPECT_EQ(Names(), (std::vector<std::string>{"Al", "BO", "Zed"}));
    EXPECT_EQ(List()->GetItemCount(), 3);
    CUserSocket* zed = Dialog().Settings().Users.GetAt(2);
    EXPECT_EQ(zed->Name.Str(), "Zed");
    EXPECT_EQ(zed->Address.sin_addr.s_addr, htonl(0x7f00000d));
}

TEST_F(AddUser, OwnNameSetsTheExternalIPAndAddsNoRow)
{
    WriteConfig(ThreeUsers);
    Open();
    ModalScript editor(TypeIntoEditor("Ann", "127.0.0.99"));
    Dialog().OnAddUser();
    EXPECT_EQ(List()->GetItemCount(), 3);
    EXPECT_EQ(Control<QLineEdit>(IDC_EXTERNAL_IP)->text(), "127.0.0.99");
    EXPECT_EQ(Dialog().Settings().ExternalIP.Str(), "127.0.0.99");

    // Another case is not this player's own name.
    editor.Set(TypeIntoEditor("ann", "127.0.0.21"));
    Dialog().OnAddUser();
    EXPECT_EQ(Names(), (std::vector<std::string>{"ann", "Al", "Bo", "Cy"}));
}

TEST_F(AddUser, CancelChangesNothingAndForwardingGoesOn)
{
    WriteConfig(ThreeUsers);
    Open();
    ModalScript editor(TypeIntoEditor("Eve", "127.0.0.40", false));
    Dialog().OnAddUser();
    EXPECT_EQ(Names(), (std::vector<std::string>{"Al", "Bo", "Cy"}));
    EXPECT_EQ(editor.Runs, 1);

    START_FORWARDING_OR_SKIP();
    Dialog().OnAddUser();
    EXPECT_TRUE(Dialog().IsForwarding());
    EXPECT_EQ(ButtonText(IDC_START), "Stop");

    editor.Set(TypeIntoEditor("Eve", "127.0.0.40"));
    Dialog().OnAddUser();
    EXPECT_FALSE(Dialog().IsForwarding());
    EXPECT_EQ(ButtonText(IDC_START), "Start");
}

using EditUser = MainWindowTest;

TEST_F(EditUser, NoneOrSeveralSelectedIsRefused)
{
    WriteConfig(ThreeUsers);
    Open();
    MessageRecorder messages;
    ModalScript editor;
    Select({});
    Dialog().OnEditUser();
    Select({0, 2});
    Control<QPushButton>(IDC_EDIT_USER)->click();
    EXPECT_EQ(messages.Errors,
              std::vector<std::string>(2, "You must select a single user to edit."));
    EXPECT_EQ(editor.Runs, 0);

    START_FORWARDING_OR_SKIP();
    Dialog().OnEditUser();
    EXPECT_TRUE(Dialog().IsForwarding());
}

TEST_F(EditUser, EditorShowsTheUserAndAChangedIPFollowsAtOnce)
{
    WriteConfig(ThreeUsers);
    Open();
    std::string shownName, shownIP, caption;
    ModalScript editor([&](QDialog& dialog) {
        auto* userDlg = dynamic_cast<CUserDlg*>(&dialog);
        shownName = userDlg->NameEdit()->text().toStdString();
        shownIP = userDlg->IPEdit()->text().toStdString();
        caption = userDlg->windowTitle().toStdString();
        return TypeIntoEditor("Bob", "127.0.0.50")(dialog);
    });
    Select({1});
    Dialog().OnEditUser();
    EXPECT_EQ(shownName, "Bo");
    EXPECT_EQ(shownIP, "127.0.0.12");
    EXPECT_EQ(caption, "Add User");
    EXPECT_EQ(Cell(1, 0), "Bob");
    EXPECT_EQ(Cell(1, 1), "127.0.0.50");
    CUserSocket* bob = Dialog().Settings().Users.GetAt(1);
    EXPECT_EQ(bob->IP.Str(), "127.0.0.50");
    EXPECT_EQ(bob->Address.sin_addr.s_addr, htonl(0x7f000032));
    EXPECT_EQ(bob->Forward, 0); // the check box is not the editor's
}

TEST_F(EditUser, CancelLeavesTheRecordAndStopsForwarding)
{
    WriteConfig(ThreeUsers);
    Open();
    Select({0});
    ModalScript editor(TypeIntoEditor("Xavier", "127.0.0.77", false));
    Dialog().OnEditUser();
    CUserSocket* al = Dialog().Settings().Users.GetAt(0);
    EXPECT_EQ(al->Name.Str(), "Al");
    EXPECT_EQ(al->IP.Str(), "127.0.0.11");
    EXPECT_EQ(al->Address.sin_addr.s_addr, htonl(0x7f00000b));

    START_FORWARDING_OR_SKIP();
    Dialog().OnEditUser();
    EXPECT_FALSE(Dialog().IsForwarding()); // stopped before the editor opened
    EXPECT_EQ(ButtonText(IDC_START), "Start");
}

using DeleteUsers = MainWindowTest;

TEST_F(DeleteUsers, YesRemovesTheSelectedAndKeepsTheRest)
{
    WriteConfig(FiveUsers);
    Open();
    MessageRecorder messages;
    messages.Answer = 1;
    Select({0, 2, 3});
    Control<QPushButton>(IDC_DELETE_USERS)->click();
    EXPECT_EQ(messages.Questions, std::vector<std::string>{"Delete user(s)?"});
    EXPECT_EQ(messages.Captions, std::vector<std::string>{"Confirm"});
    EXPECT_EQ(Names(), (std::vector<std::string>{"Bo", "Ed"}));
    EXPECT_FALSE(RowChecked(0));
    EXPECT_TRUE(RowChecked(1));
    EXPECT_EQ(Dialog().Settings().Users.GetCount(), 2);
    EXPECT_EQ(Dialog().Settings().Users.GetAt(0)->Name.Str(), "Bo");
    Close();
    EXPECT_EQ(ReadWholeFile(ConfigPath()), "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0.1\n"
                                           ";127.0.0.12\tBo\n127.0.0.15\tEd\n");
}

TEST_F(DeleteUsers, NoOrNothingSelectedChangesNothing)
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
    EXPECT_EQ(messages.Questions.size(), 1u);
    EXPECT_EQ(List()->GetItemCount(), 5);
    EXPECT_EQ(Dialog().Settings().Users.GetCount(), 5);

    START_FORWARDING_OR_SKIP();
    Dialog().OnDeleteUsers();
    EXPECT_TRUE(Dialog().IsForwarding());
    messages.Answer = 1;
    Dialog().OnDeleteUsers();
    EXPECT_FALSE(Dialog().IsForwarding());
    EXPECT_EQ(Names(), (std::vector<std::string>{"Al", "Cy", "Di"}));
}

using CheckBoxes = MainWindowTest;

TEST_F(CheckBoxes, ClickOnABoxTogglesItIntoTheRecord)
{
    WriteConfig(FiveUsers);
    Open();
    ClickCheckBox(1);
    ClickCheckBox(4);
    EXPECT_EQ(ForwardFlags(Dialog().Settings()), (std::vector<int>{1, 1, 1, 0, 0}));
    for (int row = 0; row < 5; ++row)
        EXPECT_EQ(RowChecked(row), ForwardFlags(Dialog().Settings())[row]) << row;
    Close();
    EXPECT_EQ(ReadWholeFile(ConfigPath()),
              "AutoName=Ann\nAutoHost=\nExternalIP=127.0.0.1\n127.0.0.11\tAl\n127.0.0.12\tBo\n"
              "127.0.0.13\tCy\n;127.0.0.14\tDi\n;127.0.0.15\tEd\n");
}

TEST_F(CheckBoxes, ClickBesideTheBoxChangesNothing)
{
    WriteConfig(FiveUsers);
    Open();
    QRect box = List()->CheckRect(2);
    ASSERT_FALSE(box.isEmpty());
    // On the name text, on the IP column, and below the last row.
    SendClick(List()->viewport(), QPoint(box.right() + 30, box.center().y()));
    SendClick(List()->viewport(), List()->visualRect(List()->model()->index(2, 1)).center());
    SendClick(List()->viewport(), QPoint(box.center().x(), List()->viewport()->height() - 2));
    EXPECT_EQ(ForwardFlags(Dialog().Settings()), (std::vector<int>{1, 0, 1, 0, 1}));
    EXPECT_EQ(List()->HitCheck(QPoint(box.right() + 30, box.center().y())), -1);
    EXPECT_EQ(List()->HitCheck(box.center()), 2);

    START_FORWARDING_OR_SKIP();
    SendClick(List()->viewport(), QPoint(box.right() + 30, box.center().y()));
    EXPECT_TRUE(Dialog().IsForwarding());
}

TEST_F(CheckBoxes, ClickOnABoxWhileForwardingStopsIt)
{
    WriteConfig(FiveUsers);
    Open();
    START_FORWARDING_OR_SKIP();
    EXPECT_EQ(ButtonText(IDC_START), "Stop");
    ClickCheckBox(0);
    EXPECT_FALSE(Dialog().IsForwarding());
    EXPECT_EQ(ButtonText(IDC_START), "Start");
    std::vector<int> flags = ForwardFlags(Dialog().Settings());
    EXPECT_EQ(flags[0], 0);
    for (int row = 0; row < 5; ++row)
        EXPECT_EQ(RowChecked(row), flags[row]) << row;
}

#include "MainDlgHarness.h"

#include "app/CAboutDlg.h"
#include "app/Resource.h"
#include "base/CUSocket.h"

#include <QAction>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QToolTip>

namespace
{

std::string OwnAddress()
{
    sockaddr_in address{};
    CUSocket::GetSockAddr(address, nullptr, 0);
    CUString text;
    int port = 0;
    CUSocket::GetPeerName(address, text, port);
    return text.Str();
}

std::string FieldText(QLineEdit* edit)
{
    return edit->text().toStdString();
}

} // namespace

using StartUp = MainWindowTest;

TEST_F(StartUp, FirstStartShowsOwnAddressAndWritesItAtExit)
{
    Open();
    EXPECT_EQ(FieldText(Control<QLineEdit>(IDC_AUTO_NAME)), "");
    EXPECT_EQ(FieldText(Control<QLineEdit>(IDC_AUTO_HOST)), "");
    std::string own = OwnAddress();
    ASSERT_FALSE(own.empty());
    EXPECT_EQ(FieldText(Control<QLineEdit>(IDC_EXTERNAL_IP)), own);
    EXPECT_EQ(List()->GetItemCount(), 0);
    EXPECT_EQ(QApplication::focusWidget(), Control<QLineEdit>(IDC_AUTO_NAME));

    Close();
    EXPECT_EQ(ReadWholeFile(ConfigPath()), "AutoName=\nAutoHost=\nExternalIP=" + own + "\n");
}

TEST_F(StartUp, EmptyExternalIPInTheFileIsFilledAndUsersShowInFileOrder)
{
    WriteConfig("AutoName=Ann\nAutoHost=10.0.0.9\nExternalIP=\n"
                "10.0.0.1\tBig Al\n;10.0.0.2\tBo\n10.0.0.3\tCy\n");
    Open();
    EXPECT_EQ(FieldText(Control<QLineEdit>(IDC_AUTO_NAME)), "Ann");
    EXPECT_EQ(FieldText(Control<QLineEdit>(IDC_AUTO_HOST)), "10.0.0.9");
    EXPECT_EQ(FieldText(Control<QLineEdit>(IDC_EXTERNAL_IP)), OwnAddress());
    ASSERT_EQ(List()->GetItemCount(), 3);
    EXPECT_EQ(Cell(0, 0), "Big Al");
    EXPECT_EQ(Cell(0, 1), "10.0.0.1");
    EXPECT_EQ(Cell(1, 0), "Bo");
    EXPECT_EQ(Cell(2, 1), "10.0.0.3");
    EXPECT_TRUE(RowChecked(0));
    EXPECT_FALSE(RowChecked(1));
    EXPECT_TRUE(RowChecked(2));
    EXPECT_EQ(List()->model()->headerData(0, Qt::Horizontal).toString(), "Name");
    EXPECT_EQ(List()->model()->headerData(1, Qt::Horizontal).toString(), "IP");

    Close();
    EXPECT_EQ(ReadWholeFile(ConfigPath()),
              "AutoName=Ann\nAutoHost=10.0.0.9\nExternalIP=" + OwnAddress() +
                  "\n10.0.0.1\tBig Al\n;10.0.0.2\tBo\n10.0.0.3\tCy\n");
}

TEST_F(StartUp, TypedFieldsReachTheSettingsAndTheFile)
{
    Open();
    QLineEdit* name = Control<QLineEdit>(IDC_AUTO_NAME);
    name->setFocus();
    SendKey(name, Qt::Key_J, Qt::NoModifier, "J");
    SendKey(name, Qt::Key_O, Qt::NoModifier, "o");
    QLineEdit* host = Control<QLineEdit>(IDC_AUTO_HOST);
    host->setFocus();
    for (QChar c : QStringLiteral("10.1.1.1"))
        SendKey(host, c == '.' ? Qt::Key_Period : Qt::Key_0 + (c.unicode() - '0'), Qt::NoModifier,
                QString(c));
    QLineEdit* external = Control<QLineEdit>(IDC_EXTERNAL_IP);
    external->setFocus();
    external->selectAll();
    SendKey(external, Qt::Key_Backspace);
    SendKey(external, Qt::Key_7, Qt::NoModifier, "7");

    EXPECT_EQ(Dialog().Settings().AutoName.Str(), "Jo");
    EXPECT_EQ(Dialog().Settings().AutoHost.Str(), "10.1.1.1");
    EXPECT_EQ(Dialog().Settings().ExternalIP.Str(), "7");
    Close();
    EXPECT_EQ(ReadWholeFile(ConfigPath()), "AutoName=Jo\nAutoHost=10.1.1.1\nExternalIP=7\n");
}

TEST_F(StartUp, WindowIsFixedAndCarriesTheMnemonics)
{
    Open();
    EXPECT_EQ(Dialog().windowTitle(), "KIVORA");
    EXPECT_EQ(Dialog().minimumSize(), Dialog().maximumSize());
    EXPECT_FALSE(Dialog().windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(Dialog().windowIcon().isNull());
    EXPECT_EQ(ButtonText(IDC_HELP_BUTTON), "&Help");
    EXPECT_EQ(ButtonText(IDC_AUTO_CONFIG), "Auto&Config");
    EXPECT_EQ(ButtonText(IDC_ADD_USER), "&Add");
    EXPECT_EQ(ButtonText(IDC_EDIT_USER), "&Edit");
    EXPECT_EQ(ButtonText(IDC_DELETE_USERS), "&Delete");
    EXPECT_EQ(ButtonText(IDC_START), "&Start");
    EXPECT_TRUE(Control<QPushButton>(IDC_START)->isDefault());

    QLabel* buddyLabel = nullptr;
    for (QLabel* label : Dialog().findChildren<QLabel*>())
        if (label->text() == "E&xternal IP:")
            buddyLabel = label;
    ASSERT_NE(buddyLabel, nullptr);
    EXPECT_EQ(buddyLabel->buddy(), Control<QLineEdit>(IDC_EXTERNAL_IP));

    // Tab order: name, Help, host, AutoConfig, external IP, list, Add, Edit, Delete, Start.
    std::vector<QWidget*> expected = {
        Control<QWidget>(IDC_AUTO_NAME),    Control<QWidget>(IDC_HELP_BUTTON),
        Control<QWidget>(IDC_AUTO_HOST),    Control<QWidget>(IDC_AUTO_CONFIG),
        Control<QWidget>(IDC_EXTERNAL_IP),  List(),
        Control<QWidget>(IDC_ADD_USER),     Control<QWidget>(IDC_EDIT_USER),
        Control<QWidget>(IDC_DELETE_USERS), Control<QWidget>(IDC_START)};
    QWidget* widget = expected.front();
    for (size_t i = 1; i < expected.size(); ++i) {
        widget = widget->nextInFocusChain();
        while (widget->focusPolicy() == Qt::NoFocus)
            widget = widget->nextInFocusChain();
        EXPECT_EQ(widget, expected[i]) << "tab stop " << i;
    }
}

TEST_F(StartUp, EnterPressesStartFromTheFieldsAndTheList)
{
    Open();
    MessageRecorder messages;
    for (QWidget* widget : std::vector<QWidget*>{Control<QWidget>(IDC_AUTO_NAME),
                                                 Control<QWidget>(IDC_EXTERNAL_IP), List()}) {
        widget->setFocus();
        SendKey(widget, Qt::Key_Return);
    }
    // With an empty list Start refuses, which shows that it ran.
    EXPECT_EQ(messages.Errors, std::vector<std::string>(3, "Add some users to forward to first"));
}

TEST_F(StartUp, EscapeEndsTheWindow)
{
    Open();
    SendKey(Control<QWidget>(IDC_AUTO_NAME), Qt::Key_Escape);
    EXPECT_FALSE(Dialog().isVisible());
    EXPECT_EQ(Dialog().result(), QDialog::Rejected);
}

TEST_F(StartUp, TooltipsAreTheStringsOfTheControlIds)
{
    Open();
    // A control without a string leaves the marker standing.
    auto tooltipOf = [](QWidget* widget) {
        QPoint global = widget->mapToGlobal(QPoint(2, 2));
        QToolTip::showText(global, QStringLiteral("(none)"));
        QHelpEvent event(QEvent::ToolTip, QPoint(2, 2), global);
        QApplication::sendEvent(widget, &event);
        std::string text = QToolTip::text().toStdString();
        return text == "(none)" ? std::string() : text;
    };
    EXPECT_EQ(tooltipOf(Control<QWidget>(IDC_START)),
              "Start forwarding packets to the checked users");
    EXPECT_EQ(tooltipOf(List()->viewport()), "Uncheck users to stop forwarding packets to them");
    EXPECT_EQ(tooltipOf(Control<QWidget>(IDC_AUTO_HOST)),
              "Enter the IP of the AutoConfig host player, leave blank if you're the host");
    EXPECT_EQ(tooltipOf(Control<QWidget>(IDC_HELP_BUTTON)), "About KIVORA, email and web links");
    EXPECT_EQ(tooltipOf(Control<QWidget>(IDC_EDIT_USER)), "Edit a user in the User List");
    for (QLabel* label : Dialog().findChildren<QLabel*>())
        EXPECT_EQ(tooltipOf(label), "") << label->text().toStdString();
    QToolTip::hideText();
}

using AboutBoxOpening = MainWindowTest;

TEST_F(AboutBoxOpening, HelpButtonF1AndTheWindowMenuOpenIt)
{
    Open();
    std::vector<std::string> versions;
    ModalScript script([&](QDialog& dialog) {
        auto* about = dynamic_cast<CAboutDlg*>(&dialog);
        EXPECT_NE(about, nullptr);
        if (about)
            versions.push_back(about->findChild<QLabel*>("control1000")->text().toStdString());
        return 1;
    });

    Control<QPushButton>(IDC_HELP_BUTTON)->click();
    SendKey(Control<QWidget>(IDC_AUTO_HOST), Qt::Key_F1);
    SendKey(List(), Qt::Key_F1);
    SendKey(&Dialog(), Qt::Key_F1);

    QMenu* menu = Dialog().SystemMenu();
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions()[0]->text(), "&About KIVORA...");
    menu->actions()[0]->trigger();

    EXPECT_EQ(script.Runs, 5);
    EXPECT_EQ(versions, std::vector<std::string>(5, "1.04"));
}

TEST_F(AboutBoxOpening, RightClickOnTheWindowShowsTheMenu)
{
    Open();
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            Dialog().mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&Dialog(), &event);
    ASSERT_NE(Dialog().SystemMenu(), nullptr);
    EXPECT_TRUE(Dialog().SystemMenu()->isVisible());
    Dialog().SystemMenu()->hide();
}

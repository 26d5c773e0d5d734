#include "MainDlgHarness.h"

#include "app/CAboutDlg.h"
#include "app/Resource.h"
#include "base/CUSocket.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>

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

} // namespace

using StartUp = MainWindowTest;

TEST_F(StartUp, FirstStartShowsOwnAddressAndWritesItAtExit)
{
    Open();
    std::string own = OwnAddress();
    ASSERT_FALSE(own.empty());
    EXPECT_EQ(Text(IDC_AUTO_NAME), "");
    EXPECT_EQ(Text(IDC_AUTO_HOST), "");
    EXPECT_EQ(Text(IDC_EXTERNAL_IP), own);
    EXPECT_EQ(List()->GetItemCount(), 0);
    EXPECT_EQ(QApplication::focusWidget(), Control<QLineEdit>(IDC_AUTO_NAME));

    Close();
    EXPECT_EQ(ReadWholeFile(ConfigPath()),
              "AutoName=\nAutoHost=\nExternalIP=" + own + "\nForwardMore=0\n");
}

TEST_F(StartUp, EmptyExternalIPInTheFileIsFilledAndUsersShowInFileOrder)
{
    const std::string users = "10.0.0.1\tBig Al\n;10.0.0.2\tBo\n10.0.0.3\tCy\n";
    WriteConfig("AutoName=Ann\nAutoHost=10.0.0.9\nExternalIP=\n" + users);
    Open();
    EXPECT_EQ(Text(IDC_AUTO_NAME), "Ann");
    EXPECT_EQ(Text(IDC_AUTO_HOST), "10.0.0.9");
    EXPECT_EQ(Text(IDC_EXTERNAL_IP), OwnAddress());
    EXPECT_EQ(Names(), (Strings{"Big Al", "Bo", "Cy"}));
    EXPECT_EQ(Cell(0, 1), "10.0.0.1");
    EXPECT_EQ(Cell(2, 1), "10.0.0.3");
    EXPECT_EQ(Checks(), (std::vector<int>{1, 0, 1}));
    EXPECT_EQ(List()->model()->headerData(0, Qt::Horizontal).toString(), "Name");
    EXPECT_EQ(List()->model()->headerData(1, Qt::Horizontal).toString(), "IP");

    Close();
    EXPECT_EQ(ReadWholeFile(ConfigPath()), "AutoName=Ann\nAutoHost=10.0.0.9\nExternalIP=" +
                                               OwnAddress() + "\nForwardMore=0\n" + users);
}

TEST_F(StartUp, TypedFieldsReachTheSettingsAndTheFile)
{
    Open();
    TypeInto(Control<QLineEdit>(IDC_AUTO_NAME), "Jo");
    TypeInto(Control<QLineEdit>(IDC_AUTO_HOST), "10.1.1.1");
    TypeInto(Control<QLineEdit>(IDC_EXTERNAL_IP), "7", true);
    EXPECT_EQ(Dialog().Settings().AutoName.Str(), "Jo");
    EXPECT_EQ(Dialog().Settings().AutoHost.Str(), "10.1.1.1");
    EXPECT_EQ(Dialog().Settings().ExternalIP.Str(), "7");
    Close();
    EXPECT_EQ(ReadWholeFile(ConfigPath()),
              "AutoName=Jo\nAutoHost=10.1.1.1\nExternalIP=7\nForwardMore=0\n");
}

TEST_F(StartUp, EnterPressesStartFromTheFieldsAndTheListEscapeCloses)
{
    Open();
    MessageRecorder messages;
    for (QWidget* w : {Control<QWidget>(IDC_AUTO_NAME), Control<QWidget>(IDC_EXTERNAL_IP),
                       static_cast<QWidget*>(List())}) {
        w->setFocus();
        SendKey(w, Qt::Key_Return);
    }
    // With an empty list Start refuses, which shows that it ran.
    EXPECT_EQ(messages.Errors, Strings(3, "Add some users to forward to first"));
    SendKey(Control<QWidget>(IDC_AUTO_NAME), Qt::Key_Escape);
    EXPECT_FALSE(Dialog().isVisible());
    EXPECT_EQ(Dialog().result(), QDialog::Rejected);
}

using AboutBoxOpening = MainWindowTest;

TEST_F(AboutBoxOpening, HelpButtonF1AndTheWindowMenuOpenIt)
{
    Open();
    Strings versions;
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
    ASSERT_EQ(menu->actions().size(), 3); // About, a separator, the settings file in use
    EXPECT_EQ(menu->actions()[0]->text(), "&About KIVORA...");
    EXPECT_EQ(menu->actions()[2]->text(),
              "Settings file: " + QString(Dialog().Settings().GetPath().c_str()));
    EXPECT_FALSE(menu->actions()[2]->isEnabled());
    menu->actions()[0]->trigger();

    EXPECT_EQ(script.Runs, 5);
    EXPECT_EQ(versions, Strings(5, "1.04"));

    // A right click on the window shows that menu.
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            Dialog().mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&Dialog(), &event);
    EXPECT_TRUE(menu->isVisible());
    menu->hide();
}

#include "MainDlgHarness.h"

#include "app/CAboutDlg.h"
#include "app/Resource.h"
#include "base/CUSocket.h"
#include "window/ShellOpen.h"

#include <QLabel>
#include <QMenu>
#include <QUrl>

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

// The saved file without the ForwardMore line, which these cases do not look at.
std::string Saved(const std::string& path)
{
    std::string text = ReadWholeFile(path);
    size_t at = text.find("ForwardMore=");
    return at == std::string::npos ? text : text.erase(at, text.find('\n', at) + 1 - at);
}

} // namespace

using StartUp = MainWindowTest;

// Faults: a field not loaded or not saved, the own address not filled in, users out
// of file order or with lost check boxes, a typed field not reaching the settings.
TEST_F(StartUp, FieldsAndListFromTheFileTypedFieldsWrittenAtExit)
{
    const std::string own = OwnAddress(), users = "10.0.0.1\tBig Al\n;10.0.0.2\tBo\n10.0.0.3\tCy\n";
    struct Case {
        const char *what, *file;
        Strings fields, names;
        Ints checks;
        std::string saved;
    } cases[] = {
        {"first start without a file: own address, empty list",
         nullptr,
         {"", "", own},
         {},
         {},
         "AutoName=x\nAutoHost=1\nExternalIP=7\n"},
        {"empty external IP is filled; users in file order, ';' unchecked",
         "AutoName=Ann\nAutoHost=10.0.0.9\nExternalIP=\n10.0.0.1\tBig Al\n;10.0.0.2\tBo\n10.0.0."
         "3\tCy\n",
         {"Ann", "10.0.0.9", own},
         {"Big Al", "Bo", "Cy"},
         {1, 0, 1},
         "AutoName=Annx\nAutoHost=10.0.0.91\nExternalIP=7\n" + users},
    };
    ASSERT_FALSE(own.empty());
    for (const Case& c : cases) {
        std::remove(ConfigPath().c_str());
        if (c.file)
            WriteConfig(c.file);
        Open();
        EXPECT_EQ((Strings{Text(IDC_AUTO_NAME), Text(IDC_AUTO_HOST), Text(IDC_EXTERNAL_IP)}),
                  c.fields)
            << c.what;
        EXPECT_EQ(Dialog().Settings().ExternalIP.Str(), own) << c.what;
        EXPECT_EQ(Names(), c.names) << c.what;
        EXPECT_EQ(Checks(), c.checks) << c.what;
        EXPECT_EQ(QApplication::focusWidget(), Control(IDC_AUTO_NAME)) << c.what;
        TypeInto(Control<QLineEdit>(IDC_AUTO_NAME), "x");
        TypeInto(Control<QLineEdit>(IDC_AUTO_HOST), "1");
        TypeInto(Control<QLineEdit>(IDC_EXTERNAL_IP), "7", true);
        Close();
        EXPECT_EQ(Saved(ConfigPath()), c.saved) << c.what;
    }
}

// Faults: Enter not reaching Start from a field or the list; F1, Help or the menu
// item not opening the About box; Escape not closing.
TEST_F(StartUp, KeysButtonsAndMenuReachTheirCommands)
{
    Open();
    MessageRecorder messages;
    Strings versions;
    ModalScript about([&](QDialog& dialog) {
        auto* box = dynamic_cast<CAboutDlg*>(&dialog);
        versions.push_back(box ? box->findChild<QLabel*>("control1000")->text().toStdString() : "");
        return 1;
    });
    for (int id : {IDC_AUTO_NAME, IDC_EXTERNAL_IP, IDC_USER_LIST}) {
        SendKey(Control(id), Qt::Key_Return); // an empty list refuses, so Start ran
        SendKey(Control(id), Qt::Key_F1);
    }
    Control<QPushButton>(IDC_HELP_BUTTON)->click();
    QMenu* menu = Dialog().SystemMenu();
    ASSERT_NE(menu, nullptr);
    ASSERT_FALSE(menu->actions().empty());
    EXPECT_EQ(menu->actions()[0]->text(), "&About KIVORA...");
    menu->actions()[0]->trigger();
    EXPECT_EQ(messages.Errors, Strings(3, "Add some users to forward to first"));
    EXPECT_EQ(versions, Strings(5, "1.04"));
    QContextMenuEvent right(QContextMenuEvent::Mouse, QPoint(5, 5), Dialog().mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&Dialog(), &right);
    EXPECT_TRUE(menu->isVisible());
    menu->hide();
    SendKey(Control(IDC_AUTO_NAME), Qt::Key_Escape);
    EXPECT_FALSE(Dialog().isVisible());
}

// Faults: a link opening the wrong address, a click beside the links opening one, the
// empty end of a link's label not counting as the link.
TEST(AboutBox, ClicksOnTheLinksOpenThemBesideThemNothing)
{
    Strings opened;
    ShellOpener previous = SetShellOpener([&](const QUrl& url) {
        opened.push_back(url.toString().toStdString());
        return 1;
    });
    CAboutDlg about(nullptr);
    about.show();
    QApplication::processEvents();
    auto* web = about.findChild<QLabel*>("control1001");
    auto* email = about.findChild<QLabel*>("control1002");
    const QRect r = web->geometry();
    const QPoint points[] = {{2, 2},
                             {r.center().x(), r.top() - 3},
                             {r.center().x(), r.bottom() + 3},
                             r.topLeft() + QPoint(3, 3),
                             r.bottomRight() - QPoint(1, 1),
                             email->geometry().topRight() + QPoint(-2, 3)};
    for (QPoint point : points) { // to the label under the point, as a person clicks
        QWidget* target = about.childAt(point) ? about.childAt(point) : &about;
        QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(&about, point));
    }
    EXPECT_EQ(opened, (Strings{"https://kivora.example.net/", "https://kivora.example.net/",
                               "mailto:support@kivora.example.net"}));
    EXPECT_TRUE(about.isVisible());
    SetShellOpener(std::move(previous));
}

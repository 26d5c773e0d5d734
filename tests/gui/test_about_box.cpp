#include "MainDlgHarness.h"

#include "app/CAboutDlg.h"
#include "window/ShellOpen.h"

#include <QLabel>
#include <QUrl>

namespace
{

// Opens the box; records what the desktop is asked to open instead of opening it.
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
    auto label = [&](int id) {
        return about.findChild<QLabel*>(QStringLiteral("control%1").arg(id));
    };
    QLabel* web = label(1001);
    QLabel* email = label(1002);
    // Beside the links: the version, the box, just above and below the web link.
    QRect webRect = web->geometry();
    SendClick(label(1000), QPoint(2, 2));
    SendClick(&about, QPoint(2, 2));
    SendClick(&about, QPoint(webRect.center().x(), webRect.top() - 3));
    SendClick(&about, QPoint(webRect.center().x(), webRect.bottom() + 3));
    EXPECT_TRUE(opened.empty());
    EXPECT_EQ(about.LinkAt(QPoint(2, 2)), nullptr);

    // On the text, and on the empty end of each label's rectangle.
    SendClick(web, QPoint(3, web->height() / 2));
    SendClick(email, QPoint(email->width() - 2, email->height() / 2));
    SendClick(&about, webRect.bottomRight() - QPoint(1, 1));
    EXPECT_EQ(opened, (Strings{"https://kivora.example.net/", "mailto:support@kivora.example.net",
                               "https://kivora.example.net/"}));
    EXPECT_TRUE(about.isVisible());
    SetShellOpener(std::move(previous));
}

} // namespace

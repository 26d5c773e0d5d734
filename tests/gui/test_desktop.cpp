// The window on a desktop: a failed save shown before the window goes (before, the
// changes were lost without a word); the icon from the installed SVG; theme colours.
#include "TempDir.h"
#include "app/CAboutDlg.h"
#include "app/CMainDlg.h"
#include "window/Messages.h"

#include <QApplication>
#include <QLabel>
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>

TEST(SettingsSave, FailureInAReadOnlyFolderIsShownOnClose)
{
    // Root ignores mode bits but not a read-only mount: bind the folder read-only in a
    // mount namespace of this test's own.
    TempDir dir;
    const char* path = dir.Path().c_str();
    if (unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount(path, path, nullptr, MS_BIND, nullptr) ||
        mount(nullptr, path, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr))
        GTEST_SKIP() << "needs root for a read-only bind mount";
    std::vector<std::string> shown;
    MessageHandler previous = SetMessageHandler([&](const CMessageRequest& request) {
        shown.push_back(request.Text.Str());
        return 0;
    });
    auto dialog = std::make_unique<CMainDlg>(nullptr, dir.File("KIVORA.cfg").c_str());
    EXPECT_FALSE(dialog->windowIcon().pixmap(32).isNull()) << "no icon: resource or SVG plugin";
    dialog->reject(); // as Escape
    dialog.reset();   // saved once, at close
    EXPECT_EQ(shown, std::vector<std::string>{"Could not save the settings to " +
                                              dir.File("KIVORA.cfg") + ": Read-only file system"});
    SetMessageHandler(previous);
    umount(path);
}

// Hard-coded blue links had 1.9:1 contrast on a dark palette.
TEST(AboutBox, LinksTakeThePalettesLinkColour)
{
    QPalette palette = QApplication::palette();
    palette.setColor(QPalette::Link, QColor(0x80, 0xc0, 0xff));
    QApplication::setPalette(palette);
    CAboutDlg about(nullptr);
    int links = 0;
    for (QLabel* label : about.findChildren<QLabel*>()) {
        if (label->text().contains("kivora.example.net")) {
            ++links;
            EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(0x80, 0xc0, 0xff));
        }
    }
    EXPECT_EQ(links, 2);
}

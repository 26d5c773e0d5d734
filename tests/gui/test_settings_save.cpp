// A save that fails is shown, with the file and the reason, before the window goes:
// before, the changes were lost without a word.
#include "TempDir.h"
#include "app/CMainDlg.h"
#include "window/Messages.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>

TEST(SettingsSave, FailureInAReadOnlyFolderIsShownOnClose)
{
    // Root ignores mode bits, not a read-only mount: bind the folder read-only in a
    // mount namespace of this process alone.
    TempDir dir;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount(dir.Path().c_str(), dir.Path().c_str(), nullptr, MS_BIND, nullptr) ||
        mount(nullptr, dir.Path().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr))
        GTEST_SKIP() << "needs root for a read-only bind mount";
    std::vector<std::string> shown;
    MessageHandler previous = SetMessageHandler([&](const CMessageRequest& request) {
        shown.push_back(request.Text.Str());
        return 0;
    });
    {
        CMainDlg dialog(nullptr, dir.File("KIVORA.cfg").c_str());
        dialog.show();
        dialog.reject(); // as Escape
        EXPECT_EQ(shown,
                  std::vector<std::string>{"Could not save the settings to " +
                                           dir.File("KIVORA.cfg") + ": Read-only file system"});
    }
    EXPECT_EQ(shown.size(), 1u) << "saved once at close, not again when destroyed";
    SetMessageHandler(previous);
    umount(dir.Path().c_str());
}

// The real program as a process: what it answers without a display, that a logout's
// signal still saves, and that the installed program validates and saves per user.
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace
{

const fs::path Build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();

bool ExitedWith(const ChildResult& run, int code)
{
    return WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == code;
}

// A copy in a folder of its own: the settings beside it are the test's alone.
TEST(Program, AnswersWithoutADisplayAndTouchesNoFile)
{
    const struct {
        const char* arg;
        int exit;
        std::string out, err;
    } cases[] = {
        {"--version", 0, "KIVORA 1.04\n", ""},
        {"--help", 0, "Usage: kivora [--version | --help]\n", ""},
        {nullptr, 1, "", // no display: one line and a failure, not an abort
         "kivora: no display to show the window on (DISPLAY, WAYLAND_DISPLAY and "
         "QT_QPA_PLATFORM are unset)\n"},
    };
    TempDir dir;
    fs::copy_file(Build / "kivora", dir.File("kivora"));
    for (const auto& c : cases) {
        const ChildResult run = RunChild({dir.File("kivora"), c.arg ? c.arg : ""}, {});
        EXPECT_TRUE(ExitedWith(run, c.exit)) << c.arg;
        EXPECT_EQ(run.Out.substr(0, c.out.size()), c.out) << c.arg;
        EXPECT_EQ(run.Err, c.err) << c.arg;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 1) << "a file was written";
}

// Before, SIGTERM ended the program without saving what changed since the last Start
// (here: an older file gains the ForwardMore line).
TEST(Program, TerminationSignalsSaveTheSettings)
{
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        TempDir dir;
        fs::copy_file(Build / "kivora", dir.File("kivora"));
        WriteWholeFile(dir.File("KIVORA.cfg"), "AutoName=Ann\n");
        const ChildResult run =
            RunChild({dir.File("kivora")}, {"QT_QPA_PLATFORM=offscreen"}, -1, signal);
        EXPECT_TRUE(ExitedWith(run, 0)) << strsignal(signal) << run.Err;
        EXPECT_EQ(
            ReadWholeFile(dir.File("KIVORA.cfg")).find("AutoName=Ann\nAutoHost=\nExternalIP="), 0u);
        EXPECT_NE(ReadWholeFile(dir.File("KIVORA.cfg")).find("\nForwardMore=0\n"),
                  std::string::npos)
            << strsignal(signal);
    }
}

TEST(Install, ValidatesAndSavesUnderXdgWhenTheProgramFolderIsReadOnly)
{
    if (geteuid() != 0 || system("command -v desktop-file-validate appstreamcli >/dev/null"))
        GTEST_SKIP() << "needs root (to run as another user), desktop-file-validate "
                        "(desktop-file-utils) and appstreamcli (appstream)";
    TempDir root;
    const std::string share = root.File("usr/share/"), bin = root.File("usr/bin/");
    ASSERT_EQ(system(("DESTDIR=" + root.Path() + " cmake --install " + Build.string() +
                      " --prefix /usr >/dev/null")
                         .c_str()),
              0);
    EXPECT_EQ(system(("desktop-file-validate " + share + "applications/*.desktop").c_str()), 0);
    EXPECT_EQ(system(("appstreamcli validate --no-net " + share + "metainfo/*.xml").c_str()), 0);
    EXPECT_TRUE(fs::exists(share + "icons/hicolor/scalable/apps/net.example.kivora.svg"));
    EXPECT_TRUE(fs::exists(share + "man/man1/kivora.1"));
    // As nobody, whose program folder (usr/bin, root's) is read-only.
    fs::create_directory(root.File("home"));
    ASSERT_EQ(chmod(root.Path().c_str(), 0755) | chown(root.File("home").c_str(), 65534, 65534), 0);
    const ChildResult run =
        RunChild({bin + "kivora"}, {"QT_QPA_PLATFORM=offscreen", "HOME=" + root.File("home")},
                 65534, SIGTERM);
    EXPECT_TRUE(ExitedWith(run, 0)) << run.Err;
    EXPECT_NE(ReadWholeFile(root.File("home/.config/kivora/KIVORA.cfg")).find("ForwardMore=0"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(bin + "KIVORA.cfg"));
}

} // namespace

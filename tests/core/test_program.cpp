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
const std::vector<std::string> Offscreen = {"QT_QPA_PLATFORM=offscreen", "HOME=/nonexistent"};

// A copy in a folder of its own: the settings beside it are the test's alone.
std::string CopyProgram(const TempDir& dir)
{
    fs::copy_file(Build / "kivora", dir.File("kivora"));
    return dir.File("kivora");
}

TEST(Program, AnswersWithoutADisplayAndTouchesNoFile)
{
    const struct {
        const char* what;
        std::vector<std::string> args;
        int exit;
        std::string out, err;
    } cases[] = {
        {"--version", {"--version"}, 0, "KIVORA 1.04\n", ""},
        {"no display: one line and a failure, not an abort",
         {},
         1,
         "",
         "kivora: no display to show the window on (DISPLAY, WAYLAND_DISPLAY and "
         "QT_QPA_PLATFORM are unset)\n"},
    };
    TempDir dir;
    const std::string program = CopyProgram(dir);
    for (const auto& c : cases) {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ChildResult run = RunChild(argv, {});
        EXPECT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == c.exit) << c.what;
        EXPECT_EQ(run.Out, c.out) << c.what;
        EXPECT_EQ(run.Err, c.err) << c.what;
    }
    EXPECT_EQ(RunChild({program, "--help"}, {}).Out.rfind("Usage: kivora", 0), 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 1) << "a file was written";
}

// Before, SIGTERM ended the program without saving what changed since the last Start
// (here: an older file gains the ForwardMore line).
TEST(Program, TerminationSignalsSaveTheSettings)
{
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        TempDir dir;
        WriteWholeFile(dir.File("KIVORA.cfg"), "AutoName=Ann\n");
        const ChildResult run = RunChild({CopyProgram(dir)}, Offscreen, -1, signal);
        EXPECT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0) << strsignal(signal);
        const std::string text = ReadWholeFile(dir.File("KIVORA.cfg"));
        EXPECT_EQ(text.rfind("AutoName=Ann\nAutoHost=\nExternalIP=", 0), 0u) << text;
        EXPECT_NE(text.find("\nForwardMore=0\n"), std::string::npos) << strsignal(signal);
    }
}

TEST(Install, ValidatesAndSavesUnderXdgWhenTheProgramFolderIsReadOnly)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the installed program as another user";
    if (system("command -v desktop-file-validate appstreamcli >/dev/null") != 0)
        GTEST_SKIP() << "desktop-file-validate or appstreamcli missing (desktop-file-utils, "
                        "appstream)";
    TempDir root;
    const std::string share = root.File("usr/share/");
    ASSERT_EQ(system(("DESTDIR=" + root.Path() + " cmake --install " + Build.string() +
                      " --prefix /usr >/dev/null")
                         .c_str()),
              0);
    EXPECT_EQ(system(("desktop-file-validate " + share + "applications/*.desktop").c_str()), 0);
    EXPECT_EQ(system(("appstreamcli validate --no-net " + share + "metainfo/*.xml").c_str()), 0);
    EXPECT_TRUE(fs::exists(share + "icons/hicolor/scalable/apps/net.example.kivora.svg"));
    EXPECT_TRUE(fs::exists(share + "man/man1/kivora.1"));

    fs::create_directory(root.File("home"));
    ASSERT_EQ(chmod(root.Path().c_str(), 0755), 0);
    ASSERT_EQ(chown(root.File("home").c_str(), 65534, 65534), 0);
    const ChildResult run =
        RunChild({root.File("usr/bin/kivora")},
                 {"QT_QPA_PLATFORM=offscreen", "HOME=" + root.File("home")}, 65534, SIGTERM);
    EXPECT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0) << run.Err;
    EXPECT_NE(ReadWholeFile(root.File("home/.config/kivora/KIVORA.cfg")).find("ForwardMore=0"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(root.File("usr/bin/KIVORA.cfg")));
}

} // namespace

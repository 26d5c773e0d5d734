// The real program as a process: what it answers without a display, and, installed,
// that it validates, saves per user under XDG and saves when a signal ends it.
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <grp.h>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace
{

const fs::path Build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();

// Runs argv[0] with exactly `env`, as `uid` unless -1, and sends `signal` (if any) once
// the program catches it (SigCgt). Gives whether it exited with `code`; its output
// (stdout, then stderr) goes to `output`. A program still running after 10 s is killed.
bool RunProgram(std::vector<const char*> argv, std::vector<const char*> env, int code,
                std::string* output = nullptr, uid_t uid = -1, int signal = 0)
{
    TempDir files; // not pipes: a child that prints much never blocks on us
    argv.push_back(nullptr), env.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (freopen(files.File("out").c_str(), "w", stdout) && dup2(1, 2) == 2 &&
            (uid == uid_t(-1) || (!setgroups(0, nullptr) && !setgid(uid) && !setuid(uid))))
            execve(argv[0], const_cast<char**>(argv.data()), const_cast<char**>(env.data()));
        _exit(127);
    }
    int status = -1;
    bool signalled = signal == 0, ended = false;
    for (int waited = 0; waited < 1000 && !ended; ++waited, usleep(10000)) {
        std::string proc = ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
        size_t caught = proc.find("SigCgt:");
        if (!signalled && caught != std::string::npos &&
            (std::stoull(proc.substr(caught + 7, 17), nullptr, 16) >> (signal - 1) & 1))
            signalled = kill(pid, signal) == 0;
        ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!ended && kill(pid, SIGKILL) == 0)
        waitpid(pid, &status, 0);
    if (output)
        *output = ReadWholeFile(files.File("out"));
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// A copy in a folder of its own: the settings beside it would be the test's alone.
TEST(Program, AnswersWithoutADisplayAndTouchesNoFile)
{
    const struct {
        const char* arg;
        int exit;
        std::string output;
    } cases[] = {
        {"--version", 0, "KIVORA 1.04\n"},
        {"--help", 0, "Usage: kivora [--version | --help]\n"},
        {"", 1,
         "kivora: no display to show the window on (DISPLAY, WAYLAND_DISPLAY and "
         "QT_QPA_PLATFORM are unset)\n"}, // one line and a failure, not an abort
    };
    TempDir dir;
    fs::copy_file(Build / "kivora", dir.File("kivora"));
    for (const auto& c : cases) {
        std::string output;
        EXPECT_TRUE(RunProgram({dir.File("kivora").c_str(), c.arg}, {}, c.exit, &output)) << c.arg;
        EXPECT_EQ(output.substr(0, c.output.size()), c.output) << c.arg;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 1) << "a file was written";
}

// Before, a signal (a logout's SIGTERM) ended the program without saving what changed
// since the last Start: here an older file, which gains the ForwardMore line.
TEST(Install, ValidatesSavesUnderXdgWhenTheProgramFolderIsReadOnlyAndOnSignals)
{
    if (geteuid() != 0 || system("command -v desktop-file-validate appstreamcli >/dev/null"))
        GTEST_SKIP() << "needs root (to run as another user), desktop-file-validate "
                        "(desktop-file-utils) and appstreamcli (appstream)";
    TempDir root;
    const std::string share = root.File("usr/share/"), cfg = root.File("home/.config/kivora/");
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
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        std::string output;
        EXPECT_TRUE(RunProgram({root.File("usr/bin/kivora").c_str()},
                               {"QT_QPA_PLATFORM=offscreen", ("HOME=" + root.File("home")).c_str()},
                               0, &output, 65534, signal))
            << strsignal(signal) << output;
        EXPECT_EQ(ReadWholeFile(cfg + "KIVORA.cfg").find("AutoName=Ann\nAutoHost=\nExternalIP="),
                  signal == SIGTERM ? std::string::npos : 0u);
        EXPECT_NE(ReadWholeFile(cfg + "KIVORA.cfg").find("\nForwardMore=0\n"), std::string::npos);
        WriteWholeFile(cfg + "KIVORA.cfg", "AutoName=Ann\n");
    }
    EXPECT_FALSE(fs::exists(root.File("usr/bin/KIVORA.cfg")));
}

} // namespace

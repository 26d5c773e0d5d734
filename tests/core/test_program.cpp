// The real program as a process: what it answers without a display, its window on
// Wayland, and, installed, that it validates, saves per user under XDG (reading an older
// file beside it first), saves when a signal ends it, starts after a crash and leaves a
// file it cannot read alone.
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace
{

const fs::path Build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();

// Runs argv[0] with exactly `env`, as `uid` unless -1, and sends `signal` (if any) once
// the program catches it (SigCgt) and has printed `after`, SIGKILL once it holds a lock
// (a crash). Gives whether it ended with `code` (128 + the signal if killed); its output
// (stdout, then stderr) goes to `output`. A program still running after 10 s is killed.
bool RunProgram(std::vector<const char*> argv, std::vector<const char*> env, int code,
                std::string* output = nullptr, uid_t uid = -1, int signal = 0,
                const char* after = "")
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
        if (!signalled &&
            (signal == SIGKILL
                 ? ReadWholeFile("/proc/locks").find(" " + std::to_string(pid) + " ") !=
                       std::string::npos
                 : caught != std::string::npos &&
                       (std::stoull(proc.substr(caught + 7, 17), nullptr, 16) >> (signal - 1) &
                        1) &&
                       ReadWholeFile(files.File("out")).find(after) != std::string::npos))
            signalled = kill(pid, signal) == 0;
        ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!ended && kill(pid, SIGKILL) == 0)
        waitpid(pid, &status, 0);
    if (output)
        *output = ReadWholeFile(files.File("out"));
    return (WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) == code;
}

// A copy in a folder of its own: the settings beside it would be the test's alone.
// Where Qt could show a window (offscreen), an option it ignored would open one.
TEST(Program, AnswersWithoutADisplayAndTouchesNoFile)
{
    TempDir dir;
    const std::string runtime = "XDG_RUNTIME_DIR=" + dir.Path();
    const char* const offscreen = "QT_QPA_PLATFORM=offscreen";
    const std::string noDisplay = "kivora: no display to show the window on";
    const struct {
        std::vector<const char*> args, env;
        int exit;
        std::string output;
    } cases[] = {
        {{"--version"}, {offscreen}, 0, "KIVORA 1.04\n"},
        {{"--help"}, {offscreen}, 0, "Usage: kivora [-h | --help | --version]\n"},
        {{"-h"}, {offscreen}, 0, "Usage: kivora [-h | --help | --version]\n"},
        {{"--bogus"}, {offscreen}, 2, "kivora: unknown option '--bogus'"},
        {{"-platform", "xcb"}, {offscreen}, 2, "kivora: unknown option '-platform'"}, // Qt's own
        {{"--help", "x"}, {offscreen}, 2, "kivora: unknown argument 'x'"},
        // Each a line and a failure, not an abort.
        {{}, {}, 1, noDisplay + " (DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are unset)\n"},
        {{},
         {runtime.c_str(), "WAYLAND_DISPLAY=none"},
         1,
         noDisplay + ": no Wayland compositor at "},
        {{}, {"DISPLAY=:7345"}, 1, noDisplay + ": "}, // an X server that is not there
    };
    const std::string program = dir.File("kivora");
    fs::copy_file(Build / "kivora", program);
    for (const auto& c : cases) {
        std::vector<const char*> argv = c.args;
        argv.insert(argv.begin(), program.c_str());
        std::string output;
        EXPECT_TRUE(RunProgram(argv, c.env, c.exit, &output)) << c.output << output;
        EXPECT_EQ(output.substr(0, c.output.size()), c.output);
        EXPECT_TRUE(c.exit == 0 || std::count(output.begin(), output.end(), '\n') == 1) << output;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 1) << "a file was written";
}

// A headless Weston of the test's own, in a private runtime folder, with no seat: the
// kiosk shell, as Qt 6.4's input method crashes on a focused field without a seat.
struct Weston {
    TempDir runtime; // 0700, as XDG_RUNTIME_DIR must be
    pid_t pid = fork();
    Weston()
    {
        if (pid == 0) {
            const std::string env = "XDG_RUNTIME_DIR=" + runtime.Path();
            const char* const envp[] = {env.c_str(), nullptr};
            if (freopen("/dev/null", "w", stdout) && dup2(1, 2) == 2)
                execle("/usr/bin/weston", "weston", "--backend=headless-backend.so",
                       "--shell=kiosk-shell.so", "--no-config", "--socket=kivora", "--idle-time=0",
                       nullptr, envp);
            _exit(127);
        }
        for (int i = 0; i < 500 && !fs::exists(runtime.File("kivora")); ++i)
            usleep(10000);
    }
    ~Weston()
    {
        kill(pid, SIGTERM);
        for (int i = 0; i < 200 && waitpid(pid, nullptr, WNOHANG) == 0; ++i)
            usleep(10000);
        if (kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }
};

// The window is shown: the compositor puts its surface on the output (WAYLAND_DEBUG
// traces the protocol); then SIGTERM ends it cleanly. Without Qt's Wayland plugin
// (hidden by a qt.conf beside the copy) it says so instead of aborting.
TEST(Program, ShowsItsWindowOnWaylandOrSaysWhyNot)
{
    if (!fs::exists("/usr/bin/weston"))
        GTEST_SKIP() << "needs weston";
    Weston weston;
    ASSERT_TRUE(fs::exists(weston.runtime.File("kivora"))) << "weston did not start";
    TempDir dir;
    fs::copy_file(Build / "kivora", dir.File("kivora"));
    const std::string runtime = "XDG_RUNTIME_DIR=" + weston.runtime.Path();
    // Qt 6.4's Wayland plugin leaves its protocol objects to the exit (AddressSanitizer).
    const std::vector<const char*> env = {runtime.c_str(), "WAYLAND_DISPLAY=kivora",
                                          "WAYLAND_DEBUG=1", "ASAN_OPTIONS=detect_leaks=0"};
    std::string output;
    EXPECT_TRUE(
        RunProgram({dir.File("kivora").c_str()}, env, 0, &output, -1, SIGTERM, ".enter(wl_output@"))
        << output;
    EXPECT_NE(output.find("set_title(\"KIVORA\")"), std::string::npos);
    WriteWholeFile(dir.File("qt.conf"), "[Paths]\nPlugins=/nonexistent\n");
    EXPECT_TRUE(RunProgram({dir.File("kivora").c_str()}, env, 1, &output)) << output;
    EXPECT_EQ(output, "kivora: no display to show the window on: Qt's Wayland platform plugin "
                      "is not installed (Debian package qt6-wayland)\n");
}

// Before, a signal (a logout's SIGTERM) ended the program without saving what changed
// since the last Start (the files gain the ForwardMore line); a root-owned file after a
// sudo run was replaced by an empty list.
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
    EXPECT_TRUE(fs::exists(share + "man/man1/kivora.1.gz") &&
                fs::exists(share + "doc/kivora/copyright"));
    // As nobody, whose program folder (usr/bin, root's) is read-only; each row goes on from
    // the files the rows before it left.
    const std::string home = root.File("home"), dot = home + "/.config/kivora/KIVORA.cfg",
                      xdg = home + "/xdg/kivora/KIVORA.cfg", old = "AutoName=Old\n10.0.0.1\tAl\n",
                      twoUsers = "AutoName=Ann\n10.0.0.1\tAl\n;10.0.0.2\tBo\n";
    WriteWholeFile(root.File("usr/bin/KIVORA.cfg"), old); // an older copy's
    fs::create_directory(home);
    ASSERT_EQ(chmod(root.Path().c_str(), 0755) | chown(home.c_str(), 65534, 65534), 0);
    const struct {
        const char* what;
        int signal, exit;
        std::string xdgConfig, before, file, after; // XDG_CONFIG_HOME, the file's start
    } cases[] = {
        {"no file of their own: the one beside the program is read", SIGTERM, 0, "", "", dot,
         "AutoName=Old\nAutoHost=\nExternalIP="},
        {"a relative XDG_CONFIG_HOME is not taken", SIGINT, 0, "xdg", "AutoName=Ann\n", dot,
         "AutoName=Ann\nAutoHost=\nExternalIP="},
        {"an absolute XDG_CONFIG_HOME is", SIGHUP, 0, home + "/xdg", "", xdg,
         "AutoName=Old\nAutoHost=\nExternalIP="},
        {"a crash", SIGKILL, 137, home + "/xdg", "AutoName=Bo\n", xdg, "AutoName=Bo\n"},
        {"a start after a crash: its lock is gone", SIGTERM, 0, home + "/xdg", "", xdg,
         "AutoName=Bo\nAutoHost=\nExternalIP="},
        {"a file of root's (a sudo run) is left as it is", SIGTERM, 0, home + "/xdg", twoUsers, xdg,
         twoUsers},
    };
    for (const auto& c : cases) {
        if (!c.before.empty())
            WriteWholeFile(c.file, c.before);
        const bool rootOnly = c.before == twoUsers; // root's, 0600, as a sudo run leaves it
        ASSERT_EQ(rootOnly ? chown(c.file.c_str(), 0, 0) | chmod(c.file.c_str(), 0600) : 0, 0);
        std::string output;
        const std::string homeEnv = "HOME=" + home, xdgEnv = "XDG_CONFIG_HOME=" + c.xdgConfig;
        std::vector<const char*> env = {"QT_QPA_PLATFORM=offscreen", homeEnv.c_str()};
        if (!c.xdgConfig.empty())
            env.push_back(xdgEnv.c_str());
        EXPECT_TRUE(RunProgram({root.File("usr/bin/kivora").c_str()}, env, c.exit, &output, 65534,
                               c.signal))
            << c.what << output;
        const std::string file = ReadWholeFile(c.file);
        EXPECT_EQ(rootOnly ? file : file.substr(0, c.after.size()), c.after) << c.what;
        struct stat folder {
        };
        EXPECT_EQ(stat(fs::path(c.file).parent_path().c_str(), &folder) | (folder.st_mode & 0777),
                  0700u)
            << c.what << ": the settings folder is the user's alone";
        EXPECT_TRUE(!rootOnly ||
                    (output.find("Could not read the settings file " + xdg +
                                 " (owned by root: run `sudo chown $USER " + xdg + "`)") !=
                         std::string::npos &&
                     output.find("Could not save the settings to " + xdg +
                                 ": it could not be read at start") != std::string::npos))
            << output;
    }
    EXPECT_EQ(ReadWholeFile(root.File("usr/bin/KIVORA.cfg")), old);
}

} // namespace

// KIVORA.cfg as people and earlier runs leave it: what Load makes of each kind of line,
// what Save writes back, that a save never writes through a link or loses a file; and the
// User List rule.
#include "ScopedLocale.h"
#include "TempDir.h"
#include "users/CSettings.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace
{

// The four settings, then each user as IP/name, "-" if unchecked.
std::string Shown(const CSettings& s)
{
    std::string out = s.AutoName.Str() + "|" + s.AutoHost.Str() + "|" + s.ExternalIP.Str() + "|" +
                      std::to_string(s.ForwardMore);
    for (CUserSocket* user : s.Users)
        out += "|" + user->IP.Str() + "/" + user->Name.Str() + (user->Forward ? "" : "-");
    return out;
}

std::string Loaded(const std::string& path)
{
    CSettings s;
    s.SetPath(path.c_str());
    s.Load();
    return Shown(s);
}

TEST(SettingsFile, Grammar)
{
    const struct {
        const char *what, *want;
        std::string text;
    } cases[] = {
        {"the README's example", "Ann|10.0.0.9|1.2.3.4|0|10.0.0.1/Big Al|10.0.0.2/Bo-",
         "AutoName=Ann\nAutoHost=10.0.0.9\nExternalIP=1.2.3.4\n10.0.0.1\tBig Al\n;10.0.0.2\tBo\n"},
        {"CR LF, empty lines, no final line end", "Ann|||0|10.0.0.1/Al",
         "\r\n\nAutoName=Ann\r\n\r\n10.0.0.1\tAl"},
        {"key lines anywhere, the last wins", "|2.2.2.2||0|10.0.0.1/Al",
         "10.0.0.1\tAl\nAutoHost=1.1.1.1\nAutoName=A\nAutoHost=2.2.2.2\nAutoName=\n"},
        {"other case, unknown and ;-keys ignored; a value keeps its =", "Eve=x|||0",
         "autoname=Ann\n;AutoHost=10.0.0.9\nColour=blue\nAutoName=Eve=x\n"},
        {"an IP alone, '; note', blanks and tabs in a name, any text as IP",
         "|||0|10.0.0.7/|/note-|10.0.0.8/The  Big\tOne|not-an-ip/X",
         "10.0.0.7\n; note\n10.0.0.8\tThe  Big\tOne\nnot-an-ip\tX\n"},
        {"duplicates and file order kept", "|||0|10.0.0.1/Al|10.0.0.1/Al|10.0.0.2/al",
         "10.0.0.1\tAl\n10.0.0.1\tAl\n10.0.0.2\tal\n"},
        {"a value loses trailing blanks only", "Big Al|||0", "AutoName=Big Al \t\n"},
        {"a NUL byte ends its line", "Ann|||0|1.2.3.4/Bo",
         std::string("AutoName=Ann\t\0junk\n1.2.3.4\tBo\0x\n", 32)},
        {"ForwardMore=1 is on", "|||1", "ForwardMore=1\n"},
        {"an older build's file, without ForwardMore, is off", "A|||0", "AutoName=A\n"},
        {"any ForwardMore but 1 is off", "|||0", "ForwardMore=1\nForwardMore=yes\n"},
        {"an ExternalIP that is no address is empty (AutoConfig would send 65 KB on)", "|||0",
         "ExternalIP=1.2.3.4\nExternalIP=" + std::string(70000, '1') + "\n"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        WriteWholeFile(dir.File("KIVORA.cfg"), c.text);
        EXPECT_EQ(Loaded(dir.File("KIVORA.cfg")), c.want) << c.what;
    }
    EXPECT_EQ(Loaded(dir.File("absent")), "|||0") << "a missing file keeps the defaults";
}

TEST(SettingsFile, SaveWritesOneLinePerSettingAndUser)
{
    const struct {
        const char *what, *autoName;
        int forwardMore;
        std::vector<std::tuple<const char*, const char*, int>> users; // IP, name, Forward
        const char* text;
    } cases[] = {
        // clang-format off
        {"keys, ForwardMore, users in list order", "Ann Lee", 1, {{"10.0.0.1", "Al", 7}, {"10.0.0.2", "Bo", 0}},
         "AutoName=Ann Lee\nAutoHost=\nExternalIP=\nForwardMore=1\n10.0.0.1\tAl\n;10.0.0.2\tBo\n"},
        {"a lone CR or LF is a blank: a peer's name never becomes a key line", "A\r\nAutoHost=6", 0,
         {{"10.0.0.1", "x\rAutoHost=6.6.6.6", 1}, {"10.0.0.2\n9.9.9.9\tz", "y", 1}},
         "AutoName=A  AutoHost=6\nAutoHost=\nExternalIP=\nForwardMore=0\n10.0.0.1\tx AutoHost=6.6.6.6\n10.0.0.2_9.9.9.9_z\ty\n"},
        {"blanks in an IP never lose the user; one without an IP stays, unchecked", "", 0,
         {{" ", "spaces ", 1}, {"\t10.0.0.4", "tab", 1}, {"", "note", 1}},
         "AutoName=\nAutoHost=\nExternalIP=\nForwardMore=0\n_\tspaces \n_10.0.0.4\ttab\n;\tnote\n"},
        // clang-format on
    };
    TempDir dir;
    for (const auto& c : cases) {
        CSettings settings;
        settings.SetPath(dir.File("KIVORA.cfg").c_str());
        settings.SetAutoName(c.autoName);
        settings.ForwardMore = c.forwardMore;
        for (const auto& [ip, name, forward] : c.users) {
            auto* user = new CUserSocket(name, ip);
            user->Forward = forward;
            settings.Users.AddTail(user);
        }
        ASSERT_NE(settings.Save(), 0) << c.what;
        EXPECT_EQ(ReadWholeFile(dir.File("KIVORA.cfg")), c.text) << c.what;
    }
}

// A planted KIVORA.cfg.tmp link once made Save overwrite its target; a temporary opened
// for append would add a leftover's users to the new file; a write cut short (a full
// disk) must leave the old file or the new one, never a part, nor a temporary.
TEST(SettingsFile, SavingNeverWritesThroughALinkNorLosesTheFile)
{
    TempDir dir;
    const std::string cfg = dir.File("KIVORA.cfg"), tmp = cfg + ".tmp", victim = dir.File("v");
    WriteWholeFile(victim, "keep\n");
    WriteWholeFile(tmp, "10.6.6.6\tLeftover\n");
    CSettings settings;
    settings.SetPath(cfg.c_str());
    settings.AddOrUpdateUser("Al", "10.0.0.1");
    ASSERT_NE(settings.Save(), 0);
    ASSERT_TRUE(unlink(tmp.c_str()) == 0 && symlink(victim.c_str(), tmp.c_str()) == 0);
    ASSERT_NE(settings.Save(), 0);
    EXPECT_EQ(Loaded(cfg), "|||0|10.0.0.1/Al");
    // KIVORA.cfg itself a link: the link is replaced by the new file, its target kept.
    ASSERT_TRUE(rename(tmp.c_str(), cfg.c_str()) == 0 && settings.Save());
    EXPECT_EQ(ReadWholeFile(victim), "keep\n");
    struct stat info {
    };
    ASSERT_TRUE(unlink(cfg.c_str()) == 0 && settings.Save() && lstat(cfg.c_str(), &info) == 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "a new file is the user's alone";
    const mode_t umaskBefore = umask(077); // a strict umask must not narrow it either
    ASSERT_TRUE(chmod(cfg.c_str(), 0640) == 0 && settings.Save() && stat(cfg.c_str(), &info) == 0);
    umask(umaskBefore);
    EXPECT_EQ(info.st_mode & 0777, 0640u) << "the old file's mode is kept";

    // RLIMIT_FSIZE fails every write past N bytes, as a disk that fills up there would.
    const std::string fresh = ReadWholeFile(cfg), old = "AutoName=Ann\n";
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    for (size_t cut = 0; cut < fresh.size(); ++cut) {
        WriteWholeFile(cfg, old);
        rlimit limited = {cut, saved.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        int result = settings.Save();
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
        EXPECT_TRUE(result == 0 && ReadWholeFile(cfg) == old) << "cut at " << cut;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2)
            << "a temporary left behind, cut at " << cut; // KIVORA.cfg and v
    }
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(ReadWholeFile(victim), "keep\n");
}

// A file that is there but cannot be read still holds the players: writing the empty list
// over it would lose them. (Another user's file: test_program.) Nor may a rename that
// failed count as a save.
TEST(SettingsFile, AFileItCannotReadIsNeverWrittenOverAndAFailedRenameIsAFailedSave)
{
    TempDir dir;
    const std::string cfg = dir.File("KIVORA.cfg");
    const struct {
        const char* what;
        int (*make)(const char*, mode_t);
        const char* why;
    } cases[] = {
        {"a FIFO, which must not hang the reader either", mkfifo,
         "a special file, not a file: move it out of the way"},
        {"a folder", mkdir, "a folder, not a file: move it out of the way"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(unlink(cfg.c_str()) == 0 || errno == ENOENT);
        ASSERT_EQ(c.make(cfg.c_str(), 0700), 0);
        CSettings settings;
        settings.SetPath(cfg.c_str());
        EXPECT_EQ(settings.Load(), 0) << c.what;
        EXPECT_EQ(settings.LoadError().Str(), c.why) << c.what;
        settings.AddOrUpdateUser("Al", "10.0.0.1");
        EXPECT_EQ(settings.Save(), 0) << c.what;
        EXPECT_FALSE(std::filesystem::is_regular_file(cfg)) << c.what;
    }
    CSettings unread; // the folder is still there: the rename over it fails
    unread.SetPath(cfg.c_str());
    EXPECT_EQ(unread.Save(), 0);
    EXPECT_EQ(unread.SaveError().Str(), "Is a directory");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

// A crash soon after a save leaves an empty file unless the new file is on the disk before
// the rename, or the old one unless the folder is synced after it. strace shows the calls.
TEST(SettingsFile, SaveSyncsTheFileBeforeTheRenameAndTheFolderAfterIt)
{
    if (geteuid() != 0 || system("command -v strace >/dev/null") != 0)
        GTEST_SKIP() << "needs root (to trace a process) and strace";
    TempDir dir;
    CSettings settings;
    settings.SetPath(dir.File("KIVORA.cfg").c_str());
    const pid_t pid = fork();
    if (pid == 0) { // saves once strace follows it, 5 s at most
        for (int i = 0; i < 500 && ReadWholeFile("/proc/self/status").find("TracerPid:\t0\n") !=
                                       std::string::npos;
             ++i)
            usleep(10000);
        _exit(settings.Save() ? 0 : 1);
    }
    const std::string trace = dir.File("trace"); // -y: each descriptor with its path
    const int traced = system(("timeout 10 strace -qq -y -o " + trace +
                               " -e trace=fsync,fdatasync,rename,renameat,renameat2 -p " +
                               std::to_string(pid) + " 2>" + dir.File("why"))
                                  .c_str());
    int status = -1;
    EXPECT_TRUE(waitpid(pid, &status, 0) == pid && status == 0);
    if (traced != 0 && ReadWholeFile(trace).empty()) // a container without CAP_SYS_PTRACE
        GTEST_SKIP() << "strace could not follow the save: " << ReadWholeFile(dir.File("why"));
    std::string calls;
    std::istringstream lines(ReadWholeFile(trace));
    for (std::string line; std::getline(lines, line);)
        calls += line.starts_with("rename")                          ? "rename "
                 : line.find(".tmp>)") != std::string::npos          ? "fsync(file) "
                 : line.find(dir.Path() + ">)") != std::string::npos ? "fsync(folder) "
                                                                     : "fsync(other) ";
    EXPECT_EQ(calls, "fsync(file) rename fsync(folder) ") << ReadWholeFile(trace);
}

// "./KIVORA.cfg" would pass a test of the name alone. The XDG folder, taken where the
// program's folder is read-only, is tested with the installed program (test_program).
TEST(SettingsFile, DefaultPathIsBesideTheExecutable)
{
    const auto exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(CSettings().GetPath().Str(), (exe.parent_path() / "KIVORA.cfg").string());
}

// The rule that Add, AutoConfig and Sync all go through: each row adds one player to the list
// Ali 10.0.0.1 (unchecked), Bo 10.0.0.2, a second Bo 10.0.0.2; own name Me; in the C locale and
// in Turkish, whose C library folds "I" to a dotless i. Faults: the own name taken in any case,
// a second row for a known player, the wrong one of two updated, the address not following the
// IP, letters folded by the locale.
TEST(AddOrUpdateUser, Rules)
{
    const struct {
        const char *what, *name, *ip, *want;
    } cases[] = {
        // clang-format off
        {"own name (exact): the external IP only", "Me", "10.0.0.5", "Me||10.0.0.5|0|10.0.0.1/Ali-|10.0.0.2/Bo|10.0.0.2/Bo"},
        {"own name in another case: another player, first and checked", "me", "1.1.1.1", "Me|||0|1.1.1.1/me|10.0.0.1/Ali-|10.0.0.2/Bo|10.0.0.2/Bo"},
        {"an earlier IP match wins over a later name match, checks", "bo", "10.0.0.1", "Me|||0|10.0.0.1/bo|10.0.0.2/Bo|10.0.0.2/Bo"},
        {"of two duplicates the first is updated in place", "bO", "10.0.0.4", "Me|||0|10.0.0.1/Ali-|10.0.0.4/bO|10.0.0.2/Bo"},
        {"ASCII letters fold alike in every locale", "ALI", "10.0.0.9", "Me|||0|10.0.0.9/ALI|10.0.0.2/Bo|10.0.0.2/Bo"},
        // clang-format on
    };
    for (const char* locale : {"C", "tr_TR.UTF-8"}) {
        LOCALE_OR_SKIP(player, locale);
        for (const auto& c : cases) {
            CSettings settings;
            settings.SetAutoName("Me");
            settings.AddOrUpdateUser("Bo", "10.0.0.2");
            settings.AddOrUpdateUser("Ali", "10.0.0.1")->Forward = 0;
            settings.Users.AddTail(new CUserSocket("Bo", "10.0.0.2"));
            CUserSocket* user = settings.AddOrUpdateUser(c.name, c.ip);
            EXPECT_EQ(Shown(settings), c.want) << c.what << " in " << locale;
            EXPECT_EQ(user ? user->Address.sin_addr.s_addr : inet_addr(c.ip), inet_addr(c.ip))
                << c.what << ": the address follows the IP";
        }
    }
}

} // namespace

// KIVORA.cfg as people and earlier runs leave it: what Load makes of each kind of line,
// what Save writes back, and that a save never writes through a link or loses a file.
#include "TempDir.h"
#include "users/CSettings.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

struct UserRow {
    std::string ip, name;
    int forward;
    bool operator==(const UserRow&) const = default;
};
struct Loaded {
    std::string autoName = "", autoHost = "", externalIP = "";
    int forwardMore = 0;
    std::vector<UserRow> users = {};
    bool operator==(const Loaded&) const = default;
};

Loaded Load(const std::string& path)
{
    CSettings settings;
    settings.SetPath(path.c_str());
    settings.Load();
    Loaded loaded{settings.AutoName.Str(), settings.AutoHost.Str(), settings.ExternalIP.Str(),
                  settings.ForwardMore};
    for (CUserSocket* user : settings.Users)
        loaded.users.push_back({user->IP.Str(), user->Name.Str(), user->Forward});
    return loaded;
}

TEST(SettingsFile, Grammar)
{
    const struct {
        const char* what;
        std::string text;
        Loaded want;
    } cases[] = {
        {"the README's example",
         "AutoName=Ann\nAutoHost=10.0.0.9\nExternalIP=1.2.3.4\n"
         "10.0.0.1\tBig Al\n;10.0.0.2\tBo\n",
         {"Ann", "10.0.0.9", "1.2.3.4", 0, {{"10.0.0.1", "Big Al", 1}, {"10.0.0.2", "Bo", 0}}}},
        {"CR LF, empty lines and no final line end",
         "\r\n\nAutoName=Ann\r\n\r\n10.0.0.1\tAl",
         {"Ann", "", "", 0, {{"10.0.0.1", "Al", 1}}}},
        {"key lines anywhere, the last one wins",
         "10.0.0.1\tAl\nAutoHost=1.1.1.1\nAutoName=A\n"
         "AutoHost=2.2.2.2\nAutoName=\n",
         {"", "2.2.2.2", "", 0, {{"10.0.0.1", "Al", 1}}}},
        {"other case, unknown and ;-keys ignored, a value keeps its =",
         "autoname=Ann\n;AutoHost=10.0.0.9\nColour=blue\nAutoName=Eve=x\n",
         {"Eve=x"}},
        {"an IP alone, '; note', blanks and tabs in a name, any text as IP",
         "10.0.0.7\n; note\n10.0.0.8\tThe  Big\tOne\nnot-an-ip\tX\n",
         {"",
          "",
          "",
          0,
          {{"10.0.0.7", "", 1},
           {"", "note", 0},
           {"10.0.0.8", "The  Big\tOne", 1},
           {"not-an-ip", "X", 1}}}},
        {"duplicates and file order kept",
         "10.0.0.1\tAl\n10.0.0.1\tAl\n10.0.0.2\tal\n",
         {"", "", "", 0, {{"10.0.0.1", "Al", 1}, {"10.0.0.1", "Al", 1}, {"10.0.0.2", "al", 1}}}},
        {"a value loses trailing blanks, keeps inner ones",
         "AutoName=Big Al \t\nExternalIP=1.2 \n",
         {"Big Al", "", "1.2"}},
        {"a NUL byte ends its line's text",
         std::string("AutoName=Ann\t\0junk\n1.2.3.4\tBo\0x\n", 32),
         {"Ann", "", "", 0, {{"1.2.3.4", "Bo", 1}}}},
        {"ForwardMore=1 is on", "ForwardMore=1\n", {"", "", "", 1}},
        {"a file of an older build, without ForwardMore, is off", "AutoName=A\n", {"A"}},
        {"any ForwardMore but 1 is off", "ForwardMore=1\nForwardMore=yes\n", {}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        WriteWholeFile(dir.File("KIVORA.cfg"), c.text);
        EXPECT_TRUE(Load(dir.File("KIVORA.cfg")) == c.want) << c.what;
    }
    EXPECT_TRUE(Load(dir.File("absent.cfg")) == Loaded{}) << "a missing file keeps the defaults";
}

TEST(SettingsFile, SaveWritesWhatLoadReadsBack)
{
    const struct {
        const char* what;
        std::function<void(CSettings&)> edit;
        std::string text;
        Loaded back;
    } cases[] = {
        {"keys, ForwardMore, users in list order; any non-zero Forward is 1",
         [](CSettings& s) {
             s.SetAutoName("Ann Lee");
             s.SetAutoHost("10.0.0.9");
             s.SetExternalIP("1.2.3.4");
             s.ForwardMore = 1;
             s.AddOrUpdateUser("Bo", "10.0.0.2")->Forward = 0;
             s.AddOrUpdateUser("Al", "10.0.0.1")->Forward = 7;
         },
         "AutoName=Ann Lee\nAutoHost=10.0.0.9\nExternalIP=1.2.3.4\nForwardMore=1\n"
         "10.0.0.1\tAl\n;10.0.0.2\tBo\n",
         {"Ann Lee", "10.0.0.9", "1.2.3.4", 1, {{"10.0.0.1", "Al", 1}, {"10.0.0.2", "Bo", 0}}}},
        {"a lone CR or LF is a blank: a peer's name never becomes a key line",
         [](CSettings& s) {
             s.SetAutoHost("10.0.0.9");
             s.AddOrUpdateUser("x\rAutoHost=6.6.6.6", "10.0.0.1");
             s.AddOrUpdateUser("y\nExternalIP=6.6.6.6", "10.0.0.2\n10.9.9.9\tz");
         },
         "AutoName=\nAutoHost=10.0.0.9\nExternalIP=\nForwardMore=0\n"
         "10.0.0.2_10.9.9.9_z\ty ExternalIP=6.6.6.6\n10.0.0.1\tx AutoHost=6.6.6.6\n",
         {"",
          "10.0.0.9",
          "",
          0,
          {{"10.0.0.2_10.9.9.9_z", "y ExternalIP=6.6.6.6", 1},
           {"10.0.0.1", "x AutoHost=6.6.6.6", 1}}}},
        {"blanks in an IP never lose the user; one without an IP stays, unchecked",
         [](CSettings& s) {
             s.AddOrUpdateUser("spaces ", " ");
             s.AddOrUpdateUser("tab", "\t10.0.0.4");
             s.Users.AddTail(new CUserSocket("note", ""));
         },
         "AutoName=\nAutoHost=\nExternalIP=\nForwardMore=0\n_10.0.0.4\ttab\n_\tspaces \n;\tnote\n",
         {"", "", "", 0, {{"_10.0.0.4", "tab", 1}, {"_", "spaces ", 1}, {"", "note", 0}}}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        CSettings settings;
        settings.SetPath(dir.File("KIVORA.cfg").c_str());
        c.edit(settings);
        ASSERT_NE(settings.Save(), 0) << c.what;
        EXPECT_EQ(ReadWholeFile(dir.File("KIVORA.cfg")), c.text) << c.what;
        EXPECT_TRUE(Load(dir.File("KIVORA.cfg")) == c.back) << c.what;
    }
}

// A planted KIVORA.cfg.tmp link once made Save overwrite its target, and a temporary
// opened for append would add a leftover's users to the new file.
TEST(SettingsFile, LeftoversAndLinksAreNeverWrittenThrough)
{
    TempDir dir;
    const std::string cfg = dir.File("KIVORA.cfg");
    WriteWholeFile(dir.File("victim"), "keep\n");
    WriteWholeFile(cfg + ".tmp", "10.6.6.6\tLeftover\n");
    CSettings settings;
    settings.SetPath(cfg.c_str());
    settings.AddOrUpdateUser("Al", "10.0.0.1");
    ASSERT_NE(settings.Save(), 0);
    ASSERT_EQ(unlink((cfg + ".tmp").c_str()), 0);
    ASSERT_EQ(symlink(dir.File("victim").c_str(), (cfg + ".tmp").c_str()), 0);
    ASSERT_NE(settings.Save(), 0);
    EXPECT_EQ(ReadWholeFile(dir.File("victim")), "keep\n");
    EXPECT_EQ(Load(cfg).users, (std::vector<UserRow>{{"10.0.0.1", "Al", 1}}));
    // KIVORA.cfg itself a link: the link is replaced by the new file, its target kept.
    ASSERT_EQ(rename((cfg + ".tmp").c_str(), cfg.c_str()), 0);
    ASSERT_NE(settings.Save(), 0);
    EXPECT_EQ(ReadWholeFile(dir.File("victim")), "keep\n");
    struct stat info {
    };
    ASSERT_EQ(lstat(cfg.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    ASSERT_EQ(unlink(cfg.c_str()), 0);
    ASSERT_NE(settings.Save(), 0);
    ASSERT_EQ(stat(cfg.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "a new file is the user's alone";
    ASSERT_EQ(chmod(cfg.c_str(), 0640), 0);
    ASSERT_NE(settings.Save(), 0);
    ASSERT_EQ(stat(cfg.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u) << "the old file's mode is kept";
    // A folder in the file's place: Save fails and says why.
    settings.SetPath(dir.Path().c_str());
    EXPECT_EQ(settings.Save(), 0);
    EXPECT_EQ(settings.SaveError().Str(), "Is a directory");
}

TEST(SettingsFile, WriteCutAtEveryByteLeavesOldOrNewFile)
{
    // RLIMIT_FSIZE makes every write past N bytes fail, as a disk that fills up at that
    // point would. Whatever N, the file must be the old one or the complete new one.
    TempDir dir;
    const std::string cfg = dir.File("KIVORA.cfg"), old = "AutoName=Ann\n10.0.0.1\tAl\n";
    CSettings settings;
    settings.SetPath(cfg.c_str());
    settings.SetAutoName("Zed");
    settings.AddOrUpdateUser("Bo", "10.0.0.2");
    ASSERT_NE(settings.Save(), 0);
    const std::string fresh = ReadWholeFile(cfg);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    for (size_t cut = 0; cut <= fresh.size(); ++cut) {
        WriteWholeFile(cfg, old);
        rlimit limited = saved;
        limited.rlim_cur = cut;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        int result = settings.Save();
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
        EXPECT_EQ(result != 0, cut == fresh.size()) << "cut at " << cut;
        EXPECT_EQ(ReadWholeFile(cfg), cut < fresh.size() ? old : fresh) << "cut at " << cut;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1)
            << "a temporary left behind, cut at " << cut;
    }
    std::signal(SIGXFSZ, previous);
}

// "./KIVORA.cfg" would pass a test of the name alone; the XDG folder, taken where the
// program's folder is read-only, is tested with the installed program (test_program).
TEST(SettingsFile, DefaultPathIsBesideTheExecutable)
{
    const auto exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(CSettings().GetPath().Str(), (exe.parent_path() / "KIVORA.cfg").string());
}

} // namespace

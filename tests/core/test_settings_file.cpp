// KIVORA.cfg as people and earlier runs leave it: what Load makes of each kind of line,
// and what Save writes back.
#include "TempDir.h"
#include "users/CSettings.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace
{

struct UserRow {
    std::string ip;
    std::string name;
    int forward;
    bool operator==(const UserRow&) const = default;
};

std::vector<UserRow> Rows(const CSettings& settings)
{
    std::vector<UserRow> rows;
    for (CUserSocket* user : settings.Users)
        rows.push_back({user->IP.Str(), user->Name.Str(), user->Forward});
    return rows;
}

class SettingsFile : public ::testing::Test
{
protected:
    void LoadText(const std::string& text)
    {
        WriteWholeFile(dir.File("KIVORA.cfg"), text);
        settings.SetPath(dir.File("KIVORA.cfg").c_str());
        settings.Load();
    }
    std::string SavedText()
    {
        settings.SetPath(dir.File("KIVORA.cfg").c_str());
        EXPECT_NE(settings.Save(), 0);
        return ReadWholeFile(dir.File("KIVORA.cfg"));
    }

    TempDir dir;
    CSettings settings;
};

TEST_F(SettingsFile, DefaultPathIsBesideTheExecutable)
{
    CSettings fresh;
    std::string path = fresh.GetPath().Str();
    ASSERT_GE(path.size(), 11u);
    EXPECT_EQ(path.substr(path.size() - 11), "/KIVORA.cfg");
    EXPECT_EQ(path.find("//"), std::string::npos);
}

TEST_F(SettingsFile, MissingFileLeavesTheDefaults)
{
    settings.SetPath(dir.File("absent.cfg").c_str());
    settings.Load();
    EXPECT_TRUE(settings.AutoName.IsEmpty());
    EXPECT_TRUE(settings.AutoHost.IsEmpty());
    EXPECT_TRUE(settings.ExternalIP.IsEmpty());
    EXPECT_EQ(settings.Users.GetCount(), 0);
}

TEST_F(SettingsFile, ReadsTheWrittenExample)
{
    LoadText("AutoName=Ann\nAutoHost=10.0.0.9\nExternalIP=192.168.1.20\n"
             "10.0.0.1\tBig Al\n;10.0.0.2\tBo\n");
    EXPECT_EQ(settings.AutoName.Str(), "Ann");
    EXPECT_EQ(settings.AutoHost.Str(), "10.0.0.9");
    EXPECT_EQ(settings.ExternalIP.Str(), "192.168.1.20");
    EXPECT_EQ(Rows(settings),
              (std::vector<UserRow>{{"10.0.0.1", "Big Al", 1}, {"10.0.0.2", "Bo", 0}}));
}

TEST_F(SettingsFile, CrLfEmptyLinesAndNoFinalLineEnd)
{
    LoadText("\r\n\nAutoName=Ann\r\n\r\n10.0.0.1\tAl\r\n\n;10.0.0.2\tBo");
    EXPECT_EQ(settings.AutoName.Str(), "Ann");
    EXPECT_EQ(Rows(settings), (std::vector<UserRow>{{"10.0.0.1", "Al", 1}, {"10.0.0.2", "Bo", 0}}));
}

TEST_F(SettingsFile, KeyLinesAnywhereLastOneWins)
{
    LoadText("10.0.0.1\tAl\nAutoName=Ann\n10.0.0.2\tBo\nAutoName=\nAutoHost=1.1.1.1\n"
             "AutoHost=2.2.2.2\n");
    EXPECT_TRUE(settings.AutoName.IsEmpty());
    EXPECT_EQ(settings.AutoHost.Str(), "2.2.2.2");
    EXPECT_EQ(settings.Users.GetCount(), 2);
}

TEST_F(SettingsFile, UnknownAndWrongCaseKeysAreIgnored)
{
    LoadText("autoname=Ann\n;AutoHost=10.0.0.9\nColour=blue\nAutoName=Eve=x\n");
    EXPECT_EQ(settings.AutoName.Str(), "Eve=x");
    EXPECT_TRUE(settings.AutoHost.IsEmpty());
    EXPECT_EQ(settings.Users.GetCount(), 0);
}

TEST_F(SettingsFile, OddUserLines)
{
    // An IP alone is a checked user without a name; "; note" is an unchecked user with
    // an empty IP; the rest of the line, blanks and tabs included, is the name.
    LoadText("10.0.0.7\n; note\n10.0.0.8\tThe  Big\tOne\nnot-an-ip\tX\n");
    EXPECT_EQ(Rows(settings), (std::vector<UserRow>{{"10.0.0.7", "", 1},
                                                    {"", "note", 0},
                                                    {"10.0.0.8", "The  Big\tOne", 1},
                                                    {"not-an-ip", "X", 1}}));
}

TEST_F(SettingsFile, DuplicatesAndOrderAreKept)
{
    LoadText("10.0.0.1\tAl\n10.0.0.1\tAl\n10.0.0.2\tal\n");
    EXPECT_EQ(Rows(settings),
              (std::vector<UserRow>{
                  {"10.0.0.1", "Al", 1}, {"10.0.0.1", "Al", 1}, {"10.0.0.2", "al", 1}}));
}

TEST_F(SettingsFile, UserAddressFollowsTheFile)
{
    LoadText("10.1.2.3\tAl\n");
    ASSERT_EQ(settings.Users.GetCount(), 1);
    const sockaddr_in& address = settings.Users.GetHead()->Address;
    EXPECT_EQ(address.sin_family, AF_INET);
    EXPECT_EQ(ntohl(address.sin_addr.s_addr), 0x0a010203u);
    EXPECT_EQ(address.sin_port, 0);
}

TEST_F(SettingsFile, ValuesWithBlanksComeBackWhole)
{
    LoadText("AutoName=Big Al \t\nExternalIP=1.2.3.4 \n");
    EXPECT_EQ(settings.AutoName.Str(), "Big Al");
    EXPECT_EQ(settings.ExternalIP.Str(), "1.2.3.4");
}

TEST_F(SettingsFile, WritesKeysThenUsersInListOrder)
{
    settings.SetAutoName("Ann");
    settings.SetExternalIP("192.168.1.20");
    settings.AddOrUpdateUser("Bo", "10.0.0.2")->Forward = 0;
    settings.AddOrUpdateUser("Big Al", "10.0.0.1");
    EXPECT_EQ(SavedText(), "AutoName=Ann\nAutoHost=\nExternalIP=192.168.1.20\n"
                           "10.0.0.1\tBig Al\n;10.0.0.2\tBo\n");
}

TEST_F(SettingsFile, RoundTripOfEveryField)
{
    settings.SetAutoName("Ann Lee");
    settings.SetAutoHost("10.0.0.9");
    settings.SetExternalIP("1.2.3.4");
    settings.AddOrUpdateUser("Cy", "10.0.0.3");
    settings.AddOrUpdateUser("Bo Bo", "10.0.0.2")->Forward = 0;
    settings.AddOrUpdateUser("Al", "10.0.0.1")->Forward = 7; // any non-zero is checked
    SavedText();

    CSettings again;
    again.SetPath(dir.File("KIVORA.cfg").c_str());
    again.Load();
    EXPECT_EQ(again.AutoName.Str(), "Ann Lee");
    EXPECT_EQ(again.AutoHost.Str(), "10.0.0.9");
    EXPECT_EQ(again.ExternalIP.Str(), "1.2.3.4");
    EXPECT_EQ(Rows(again),
              (std::vector<UserRow>{
                  {"10.0.0.1", "Al", 1}, {"10.0.0.2", "Bo Bo", 0}, {"10.0.0.3", "Cy", 1}}));
}

TEST_F(SettingsFile, UserWithoutAnIpIsNotLost)
{
    LoadText("; note\n");
    settings.Users.GetHead()->Forward = 1; // checked again in the list
    EXPECT_EQ(SavedText(), "AutoName=\nAutoHost=\nExternalIP=\n;\tnote\n");
    CSettings again;
    again.SetPath(dir.File("KIVORA.cfg").c_str());
    again.Load();
    EXPECT_EQ(Rows(again), (std::vector<UserRow>{{"", "note", 0}}));
}

TEST_F(SettingsFile, LineEndsInTextNeverAddLines)
{
    settings.SetAutoName("Ann\r\nExternalIP=6.6.6.6");
    settings.SetAutoHost("10.0.0.9");
    settings.AddOrUpdateUser("x\nAutoHost=evil", "10.0.0.1");
    settings.AddOrUpdateUser("y", "10.0.0.2\n10.9.9.9\tghost");
    settings.AddOrUpdateUser("z", "AutoHost=evil");
    std::string text = SavedText();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6);

    CSettings again;
    again.SetPath(dir.File("KIVORA.cfg").c_str());
    again.Load();
    EXPECT_EQ(again.AutoHost.Str(), "10.0.0.9");
    EXPECT_EQ(again.ExternalIP.Str(), "");
    ASSERT_EQ(again.Users.GetCount(), 3);
    EXPECT_EQ(again.Users.GetAt(2)->Name.Str(), "x AutoHost=evil");
    EXPECT_EQ(again.Users.GetAt(2)->IP.Str(), "10.0.0.1");
}

// An AutoConfig peer may send any text as an IP; a blank one used to open its line
// with whitespace, and the reader then skipped the line and lost the user.
TEST_F(SettingsFile, BlanksInAnIpNeverLoseTheUser)
{
    settings.AddOrUpdateUser("spaces ", " ");
    settings.AddOrUpdateUser("tab", "\t10.0.0.4");
    settings.AddOrUpdateUser("inside", "10.0.0.5 x");
    EXPECT_EQ(SavedText(), "AutoName=\nAutoHost=\nExternalIP=\n10.0.0.5_x\tinside\n"
                           "_10.0.0.4\ttab\n_\tspaces \n");
    CSettings again;
    again.SetPath(dir.File("KIVORA.cfg").c_str());
    again.Load();
    EXPECT_EQ(Rows(again),
              (std::vector<UserRow>{
                  {"10.0.0.5_x", "inside", 1}, {"_10.0.0.4", "tab", 1}, {"_", "spaces ", 1}}));
}

// A NUL byte in the file ends that line's text: before, a value kept the bytes behind
// it, Save wrote it cut at the NUL, and the next load read something else again.
TEST_F(SettingsFile, NulByteEndsTheLine)
{
    LoadText(std::string("AutoName=Ann\t\0junk\nAutoHost=10.0.0.9\n10.0.0.1\tBo\0x\n", 51));
    EXPECT_EQ(settings.AutoName.Str(), "Ann");
    EXPECT_EQ(Rows(settings), (std::vector<UserRow>{{"10.0.0.1", "Bo", 1}}));
    const std::string text = SavedText();
    EXPECT_EQ(text, "AutoName=Ann\nAutoHost=10.0.0.9\nExternalIP=\n10.0.0.1\tBo\n");
}

TEST_F(SettingsFile, FullDiskLeavesTheOldFile)
{
    // /dev/full fails every write with ENOSPC: point the temporary file there through
    // a symlink, as a full file system would.
    const std::string old = "AutoName=Ann\n10.0.0.1\tAl\n";
    WriteWholeFile(dir.File("KIVORA.cfg"), old);
    ASSERT_EQ(symlink("/dev/full", dir.File("KIVORA.cfg.tmp").c_str()), 0);
    settings.SetPath(dir.File("KIVORA.cfg").c_str());
    settings.SetAutoName("Changed");
    EXPECT_EQ(settings.Save(), 0);
    EXPECT_EQ(ReadWholeFile(dir.File("KIVORA.cfg")), old);
}

TEST_F(SettingsFile, WriteCutAtEveryByteLeavesOldOrNewFile)
{
    // RLIMIT_FSIZE makes every write past N bytes fail, as a disk that fills up at that
    // point would. Whatever N, the file must be the old one or the complete new one.
    const std::string old = "AutoName=Ann\nAutoHost=\nExternalIP=1.1.1.1\n10.0.0.1\tAl\n";
    settings.SetPath(dir.File("KIVORA.cfg").c_str());
    settings.SetAutoName("Zed");
    settings.SetExternalIP("2.2.2.2");
    settings.AddOrUpdateUser("Bo", "10.0.0.2");
    settings.AddOrUpdateUser("Cy", "10.0.0.3")->Forward = 0;
    const std::string fresh = SavedText();

    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    for (size_t cut = 0; cut <= fresh.size(); ++cut) {
        WriteWholeFile(dir.File("KIVORA.cfg"), old);
        rlimit limited = saved;
        limited.rlim_cur = cut;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        int result = settings.Save();
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
        std::string now = ReadWholeFile(dir.File("KIVORA.cfg"));
        if (cut < fresh.size()) {
            EXPECT_EQ(result, 0) << "cut at " << cut;
            EXPECT_EQ(now, old) << "cut at " << cut;
        } else {
            EXPECT_NE(result, 0);
            EXPECT_EQ(now, fresh);
        }
        EXPECT_NE(access(dir.File("KIVORA.cfg.tmp").c_str(), F_OK), 0) << "temporary left behind";
    }
    std::signal(SIGXFSZ, previous);
}

} // namespace

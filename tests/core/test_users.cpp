// The User List rules that Add, AutoConfig and Sync all go through.
#include "users/CSettings.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace
{

std::string Names(const CSettings& settings)
{
    std::string names;
    for (CUserSocket* user : settings.Users)
        names += user->Name.Str() + "@" + user->IP.Str() + (user->Forward ? " " : "- ");
    return names + "ext=" + settings.ExternalIP.Str();
}

// Each row adds one player to the list Al 10.0.0.1 (unchecked), Bo 10.0.0.2, a second
// Bo 10.0.0.2; own name Me.
TEST(AddOrUpdateUser, Rules)
{
    const struct {
        const char *what, *name, *ip, *want;
    } cases[] = {
        {"own name (exact): the external IP only", "Me", "10.0.0.5",
         "Al@10.0.0.1- Bo@10.0.0.2 Bo@10.0.0.2 ext=10.0.0.5"},
        {"own name in another case: another player, first and checked", "me", "1.1.1.1",
         "me@1.1.1.1 Al@10.0.0.1- Bo@10.0.0.2 Bo@10.0.0.2 ext="},
        {"an earlier IP match wins over a later name match", "bo", "10.0.0.1",
         "bo@10.0.0.1 Bo@10.0.0.2 Bo@10.0.0.2 ext="},
        {"a name match ignores case, takes spelling and IP, keeps its place, checks", "AL",
         "10.0.0.9", "AL@10.0.0.9 Bo@10.0.0.2 Bo@10.0.0.2 ext="},
        {"of two duplicates the first is updated", "bO", "10.0.0.4",
         "Al@10.0.0.1- bO@10.0.0.4 Bo@10.0.0.2 ext="},
    };
    for (const auto& c : cases) {
        CSettings settings;
        settings.SetAutoName("Me");
        settings.AddOrUpdateUser("Bo", "10.0.0.2");
        settings.AddOrUpdateUser("Al", "10.0.0.1")->Forward = 0;
        settings.Users.AddTail(new CUserSocket("Bo", "10.0.0.2"));
        CUserSocket* user = settings.AddOrUpdateUser(c.name, c.ip);
        EXPECT_EQ(Names(settings), c.want) << c.what;
        EXPECT_EQ(user ? user->Address.sin_addr.s_addr : inet_addr(c.ip), inet_addr(c.ip))
            << c.what << ": the address follows the IP";
    }
}

// An empty selection deletes nobody; ClearForwardFlags unchecks everyone.
TEST(UserList, ClearForwardFlagsAndDelete)
{
    CSettings settings;
    CUObList<CUserSocket> none, selected;
    selected.AddTail(settings.AddOrUpdateUser("B", "10.0.0.2"));
    settings.AddOrUpdateUser("A", "10.0.0.1");
    settings.DeleteUsers(&none);
    settings.ClearForwardFlags();
    EXPECT_EQ(Names(settings), "A@10.0.0.1- B@10.0.0.2- ext=");
    settings.DeleteUsers(&selected);
    EXPECT_EQ(Names(settings), "A@10.0.0.1- ext=");
}

} // namespace

#include "app/StringTable.h"

#include "app/Resource.h"

namespace
{
struct Entry {
    int Id;
    const char* Text;
};

const Entry Strings[] = {
    {IDS_ABOUTBOX, "&About KIVORA..."},
    {IDC_USER_LIST, "Uncheck users to stop forwarding packets to them"},
    {IDC_EXTERNAL_IP, "Enter your external IP address"},
    {IDC_AUTO_HOST, "Enter the IP of the AutoConfig host player, leave blank if you're the host"},
    {IDC_START, "Start forwarding packets to the checked users"},
    {IDC_AUTO_NAME, "Enter your name/nick"},
    {IDC_ADD_USER, "Add a user to the User List"},
    {IDC_DELETE_USERS, "Delete one or more selected users from the User List"},
    {IDC_AUTO_CONFIG, "Enter AutoConfig mode"},
    {IDC_HELP_BUTTON, "About KIVORA, email and web links"},
    {IDC_EDIT_USER, "Edit a user in the User List"},
};
} // namespace

CUString LoadString(int id)
{
    for (const Entry& entry : Strings)
        if (entry.Id == id)
            return CUString(entry.Text);
    return CUString();
}

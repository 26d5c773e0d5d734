#include "users/CSettings.h"

#include "base/CUFile.h"
#include "base/ModulePath.h"

CCS g_usersLock;

namespace
{

// The file has no escape: a line end inside a value would start a new line, which
// the reader would take for a setting or a user of its own. Write them as blanks.
CUString OneLine(const CUString& text)
{
    CUString line = text;
    line.Replace('\r', ' ');
    line.Replace('\n', ' ');
    return line;
}

// The IP opens a user line; an "=" there would turn the line into a key line, and a
// blank or tab would end the field early (a blank IP would lose the whole user).
CUString UserLineIP(const CUString& ip)
{
    CUString field = OneLine(ip);
    field.Replace('=', '_');
    field.Replace(' ', '_');
    field.Replace('\t', '_');
    return field;
}

} // namespace

CSettings::CSettings()
{
    m_path.Format("%s/%s", GetModulePath(0).c_str(), "KIVORA.cfg");
}

CSettings::~CSettings()
{
    Users.DeleteAll();
}

CUserSocket* CSettings::AddOrUpdateUser(const char* name, const char* ip)
{
    if (!AutoName.IsEmpty() && AutoName.Compare(name) == 0) {
        ExternalIP = ip;
        return nullptr;
    }
    for (CUserSocket* user : Users) {
        if (user->Name.CompareNoCase(name) == 0 || user->IP.Compare(ip) == 0) {
            user->Name = name;
            user->IP = ip;
            user->Forward = 1;
            user->ResolveAddress();
            return user;
        }
    }
    auto* user = new CUserSocket(name, ip);
    Users.AddHead(user);
    return user;
}

void CSettings::ClearForwardFlags()
{
    for (CUserSocket* user : Users)
        user->Forward = 0;
}

void CSettings::DeleteUsers(CUObList<CUserSocket>* selected)
{
    if (selected)
        Users.Delete(*selected);
}

void CSettings::Load()
{
    CUFile file;
    if (!file.Open(m_path.c_str(), 1))
        return;
    while (!file.IsEOF()) {
        CUString line;
        file.ReadString(line, "\n\r", 1);
        // Text ends at a NUL byte, as it does when written back; a value kept past it
        // would not read back as it was written.
        line = CUString(line.c_str());
        CUString rest = line;
        CUString field = rest.ParseOneArg("\n\r\t ", 1);
        if (field.IsEmpty())
            continue;
        if (field.Find('=') >= 0) {
            CUString key = field.ParseOneArg("=", 1);
            // The value is the rest of the line, so that a name with blanks in it
            // comes back whole.
            CUString value = line.Right(line.GetLength() - key.GetLength() - 1);
            while (!value.IsEmpty() && (value.Right(1) == " " || value.Right(1) == "\t"))
                value = value.Left(value.GetLength() - 1);
            if (key == "AutoName")
                AutoName = value;
            else if (key == "AutoHost")
                AutoHost = value;
            else if (key == "ExternalIP")
                ExternalIP = value;
            continue;
        }
        int32_t forward = 1;
        if (field.Find(';') == 0) {
            field = field.Right(field.GetLength() - 1);
            forward = 0;
        }
        auto* user = new CUserSocket(rest.c_str(), field.c_str());
        user->Forward = forward;
        Users.AddTail(user);
    }
    file.Close();
}

int CSettings::Save()
{
    // Write a complete new file beside the old one and rename it over it, so that a
    // full disk or a crash half-way leaves the old file as it was.
    CUString temp;
    temp.Format("%s.tmp", m_path.c_str());
    CUFile file;
    if (!file.Create(temp.c_str(), 1))
        return 0;
    file.Write("AutoName=%s\n", OneLine(AutoName).c_str());
    file.Write("AutoHost=%s\n", OneLine(AutoHost).c_str());
    file.Write("ExternalIP=%s\n", OneLine(ExternalIP).c_str());
    for (CUserSocket* user : Users) {
        // A line cannot start with an empty IP (the reader would skip it and lose the
        // user); such a user can receive nothing anyway, so it is kept unchecked.
        if (user->Forward == 0 || user->IP.IsEmpty())
            file.Write(";");
        file.Write("%s\t%s\n", UserLineIP(user->IP).c_str(), OneLine(user->Name).c_str());
    }
    int flushed = file.Flush();
    int closed = file.Close();
    if (!flushed || !closed || !CUFile::Rename(temp.c_str(), m_path.c_str())) {
        CUFile::Remove(temp.c_str());
        return 0;
    }
    return 1;
}

void CSettings::OpenUserSockets()
{
    // Copies leave through the forwarding run's one send socket: a record holds no
    // socket of its own, and no failure may uncheck a user or change the file.
    for (CUserSocket* user : Users)
        user->Close();
}

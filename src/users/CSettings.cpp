#include "users/CSettings.h"

#include "base/CUFile.h"
#include "base/ModulePath.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Why `path` could not be read, and what the person can do about it.
CUString Unreadable(const CUString& path, int error)
{
    struct stat info {
    };
    CUString text;
    if ((error == EACCES || error == EPERM) && stat(path.c_str(), &info) == 0) {
        if (info.st_uid != geteuid()) {
            const passwd* owner = getpwuid(info.st_uid);
            CUString name(owner ? owner->pw_name : std::to_string(info.st_uid));
            text.Format("owned by %s: run `sudo chown $USER %s`", name.c_str(), path.c_str());
        } else {
            text.Format("not readable: run `chmod u+rw %s`", path.c_str());
        }
    } else if (error == EISDIR || error == EINVAL) {
        text.Format("%s, not a file: move it out of the way",
                    error == EISDIR ? "a folder" : "a special file");
    } else {
        text = CUString(std::strerror(error));
    }
    return text;
}

} // namespace

CSettings::CSettings() : m_path(DefaultPath(&m_createFolder)), m_readPath(m_path)
{
    struct stat info {
    };
    CUString beside;
    beside.Format("%s/%s", GetModulePath(0).c_str(), "KIVORA.cfg");
    if (m_createFolder && lstat(m_path.c_str(), &info) != 0 && errno == ENOENT &&
        lstat(beside.c_str(), &info) == 0)
        m_readPath = beside;
}

CUString CSettings::DefaultPath(bool* inConfigFolder)
{
    // Beside the executable while that folder is writable (a portable copy, the build
    // folder). An installed program's folder is not: then each user keeps their own
    // file, where the desktop keeps settings.
    const CUString module = GetModulePath(0);
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    const bool portable = access(module.c_str(), W_OK) == 0;
    CUString path;
    if (!portable && config && config[0] == '/')
        path.Format("%s/kivora/KIVORA.cfg", config);
    else if (!portable && home && home[0] == '/')
        path.Format("%s/.config/kivora/KIVORA.cfg", home);
    if (inConfigFolder)
        *inConfigFolder = !path.IsEmpty();
    if (path.IsEmpty())
        path.Format("%s/%s", module.c_str(), "KIVORA.cfg"); // unwritable: Save says so
    return path;
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

int CSettings::Load()
{
    m_loadError.Empty();
    CUFile file;
    if (!file.Open(m_readPath.c_str(), 1)) {
        if (file.OpenErrno() == ENOENT)
            return 1; // the first run
        m_keepFile = true;
        m_loadError = Unreadable(m_readPath, file.OpenErrno());
        return 0;
    }
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
            else if (key == "ExternalIP") // only an address: AutoConfig sends it on
                ExternalIP = CUString::ValidateIPAddress(value.c_str()) ? value : CUString();
            else if (key == "ForwardMore")
                ForwardMore = value == "1" ? 1 : 0; // anything else, as older files: off
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
    return 1;
}

int CSettings::Save()
{
    // A complete new file replaces the old one, so that a full disk or a crash
    // half-way leaves the old file as it was.
    m_saveError.Empty();
    if (m_keepFile) {
        m_saveError.Format("%s could not be read at start, so it is left as it was and this "
                           "session's settings are not saved",
                           m_readPath == m_path ? "it" : m_readPath.c_str());
        return 0;
    }
    if (m_createFolder && !CUFile::MakeFolders(m_path.c_str())) {
        m_saveError = CUString(std::strerror(errno));
        return 0;
    }
    CUFile file;
    if (!file.CreateReplacing(m_path.c_str())) {
        m_saveError = file.ErrorText();
        return 0;
    }
    file.Write("AutoName=%s\n", OneLine(AutoName).c_str());
    file.Write("AutoHost=%s\n", OneLine(AutoHost).c_str());
    file.Write("ExternalIP=%s\n", OneLine(ExternalIP).c_str());
    file.Write("ForwardMore=%d\n", ForwardMore ? 1 : 0);
    for (CUserSocket* user : Users) {
        // A line cannot start with an empty IP (the reader would skip it and lose the
        // user); such a user can receive nothing anyway, so it is kept unchecked.
        if (user->Forward == 0 || user->IP.IsEmpty())
            file.Write(";");
        file.Write("%s\t%s\n", UserLineIP(user->IP).c_str(), OneLine(user->Name).c_str());
    }
    if (!file.Commit()) {
        m_saveError = file.ErrorText();
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

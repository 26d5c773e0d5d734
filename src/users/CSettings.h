#pragma once

#include "base/CCS.h"
#include "base/CUObList.h"
#include "base/CUString.h"
#include "users/CUserSocket.h"

// Guards Users and its records between the GUI thread, the forwarder thread and an
// AutoConfig client's poll thread.
extern CCS g_usersLock;

// The settings record: this player's name, the AutoConfig host's IP, this machine's
// external IP and the User List. Kept in KIVORA.cfg (see DefaultPath).
class CSettings
{
public:
    CSettings();
    ~CSettings();
    CSettings(const CSettings&) = delete;
    CSettings& operator=(const CSettings&) = delete;

    void SetAutoName(const char* text) { AutoName = text; }
    void SetAutoHost(const char* text) { AutoHost = text; }
    void SetExternalIP(const char* text) { ExternalIP = text; }

    // Own name (exact) sets ExternalIP and gives null; else the first record whose
    // name matches ignoring case, or whose IP matches exactly, is updated and
    // checked; else a new checked record goes to the head. Gives that record.
    CUserSocket* AddOrUpdateUser(const char* name, const char* ip);
    void ClearForwardFlags();
    // Removes and destroys every record that `selected` holds.
    void DeleteUsers(CUObList<CUserSocket>* selected);

    // Reads the settings file; a missing file leaves everything as it is. A file that
    // is there but cannot be read (another user's, a folder, a FIFO) gives 0, and
    // LoadError() says why and what to do: from then on Save never writes over it, as
    // that would replace the players it holds with an empty list.
    int Load();
    const CUString& LoadError() const { return m_loadError; }
    // Writes the settings file. The old file is replaced only by a complete new one
    // (a KIVORA.cfg that is a symbolic link is replaced, its target left alone).
    // Gives non-zero on success; on failure SaveError() says why.
    int Save();
    const CUString& SaveError() const { return m_saveError; }

    // Closes any socket a record holds; the check boxes stay as they are (copies go
    // through one send socket per forwarding run).
    void OpenUserSockets();

    // KIVORA.cfg beside the executable when its folder is writable, else
    // $XDG_CONFIG_HOME/kivora/KIVORA.cfg (~/.config/kivora/ by default), whose folder
    // the first Save makes; `inConfigFolder` tells which of the two it is.
    static CUString DefaultPath(bool* inConfigFolder = nullptr);
    // The settings file: DefaultPath() unless set otherwise (the tests point it
    // elsewhere; the folder of a path set here is never made).
    const CUString& GetPath() const { return m_path; }
    // What Load reads: the settings file, or, while a user has no file of their own
    // yet, a KIVORA.cfg beside a program whose folder they may not write (an older
    // copy's), which is then left as it is.
    const CUString& GetReadPath() const { return m_readPath; }
    void SetPath(const char* path)
    {
        m_path = path;
        m_readPath = path;
        m_createFolder = false;
    }

    CUString AutoName;
    CUString AutoHost;
    CUString ExternalIP;
    // Also forward subnet broadcasts and multicast ("ForwardMore" in the file); off
    // unless the player turns it on.
    int32_t ForwardMore = 0;
    CUObList<CUserSocket> Users;

private:
    bool m_createFolder = false; // before m_path, which the constructor sets with it
    bool m_keepFile = false;     // Load could not read it: never written over
    CUString m_path;
    CUString m_readPath;
    CUString m_loadError;
    CUString m_saveError;
};

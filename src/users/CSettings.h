#pragma once

#include "base/CCS.h"
#include "base/CUObList.h"
#include "base/CUString.h"
#include "users/CUserSocket.h"

// Guards Users and its records between the GUI thread, the forwarder thread and an
// AutoConfig client's poll thread.
extern CCS g_usersLock;

// The settings record: this player's name, the AutoConfig host's IP, this machine's
// external IP and the User List. Kept in KIVORA.cfg beside the executable.
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

    // Reads the settings file; a missing file leaves everything as it is.
    void Load();
    // Writes the settings file. The old file is replaced only by a complete new one.
    // Gives non-zero on success.
    int Save();

    // Closes any socket a record holds; the check boxes stay as they are (copies go
    // through one send socket per forwarding run).
    void OpenUserSockets();

    // The settings file: GetModulePath(0) + "/KIVORA.cfg" unless set otherwise
    // (the tests point it elsewhere).
    const CUString& GetPath() const { return m_path; }
    void SetPath(const char* path) { m_path = path; }

    CUString AutoName;
    CUString AutoHost;
    CUString ExternalIP;
    // Also forward subnet broadcasts and multicast ("ForwardMore" in the file); off
    // unless the player turns it on.
    int32_t ForwardMore = 0;
    CUObList<CUserSocket> Users;

private:
    CUString m_path;
};

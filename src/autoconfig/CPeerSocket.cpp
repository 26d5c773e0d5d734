#include "autoconfig/CPeerSocket.h"

#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CAutoConfigOwner.h"
#include "autoconfig/CLogRound.h"
#include "users/CSettings.h"

void CPeerSocket::Read(CUBuffer& b)
{
    b >> IP >> Name;
    CutName(Name);
}

void CPeerSocket::Write(CUBuffer& b)
{
    b << IP << Name;
}

int CPeerSocket::ProcessInput(CUSocket* s)
{
    CLogSink* log = Owner ? &Owner->GetLog() : nullptr;
    return ProcessAutoConfigInput(
        this, s, CMD_USER_INFO, log,
        [this](CUBuffer& in, CLogRound& round) { OnUserInfo(in, round); });
}

void CPeerSocket::OnUserInfo(CUBuffer& in, CLogRound& log)
{
    if (!Owner)
        return;
    CSettings* settings = Owner->GetSettings();
    // The main window's list view reads the same records on the GUI thread; the whole
    // list is applied under one hold, so the view never shows half of it.
    CCSLock lock(g_usersLock);
    settings->ClearForwardFlags();
    int32_t count = 0;
    in >> count;
    if (count == 0 || in.Failed())
        return;
    log.Message("Received info for %d users...", count);
    // The host keeps no more of a name than the join could carry: this player's own
    // record comes back under the name as it was cut for the wire.
    CUString ownOnWire = settings->AutoName;
    CutName(ownOnWire);
    CPeerSocket record;
    for (int32_t i = 0; i < count; ++i) {
        // A count beyond the records present ends quietly at the message's end.
        if (in.Remaining() == 0)
            break;
        in >> record;
        if (in.Failed())
            return;
        // An IP that is no address could never be sent to, and would not read back from
        // the settings file as written.
        if (!CUString::ValidateIPAddress(record.IP.c_str())) {
            log.Warning(CLogRound::InvalidAddress, "WARNING: Invalid IP address %s (%s) skipped.",
                        ForLog(record.IP).c_str(), ForLog(record.Name).c_str());
            continue;
        }
        log.Message("%s (%s)", ForLog(record.IP).c_str(), ForLog(record.Name).c_str());
        const bool own = !ownOnWire.IsEmpty() && record.Name == ownOnWire;
        settings->AddOrUpdateUser(own ? settings->AutoName.c_str() : record.Name.c_str(),
                                  record.IP.c_str());
    }
}

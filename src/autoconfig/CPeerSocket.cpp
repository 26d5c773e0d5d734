#include "autoconfig/CPeerSocket.h"

#include "autoconfig/AutoConfigProtocol.h"
#include "autoconfig/CAutoConfigOwner.h"
#include "base/CLogSink.h"
#include "users/CSettings.h"

void CPeerSocket::Read(CUBuffer& b)
{
    b >> IP >> Name;
}

void CPeerSocket::Write(CUBuffer& b)
{
    b << IP << Name;
}

int CPeerSocket::ProcessInput(CUSocket* s)
{
    CLogSink* log = Owner ? &Owner->GetLog() : nullptr;
    return ProcessAutoConfigInput(this, s, CMD_USER_INFO, log,
                                  [this](CUBuffer& in) { OnUserInfo(in); });
}

void CPeerSocket::OnUserInfo(CUBuffer& in)
{
    if (!Owner)
        return;
    CSettings* settings = Owner->GetSettings();
    CLogSink& log = Owner->GetLog();
    // The main window's list view reads the same records on the GUI thread.
    {
        CCSLock lock(g_usersLock);
        settings->ClearForwardFlags();
    }
    int32_t count = 0;
    in >> count;
    if (count == 0 || in.Failed())
        return;
    log.Message("Received info for %d users...", count);
    CPeerSocket record;
    for (int32_t i = 0; i < count; ++i) {
        // A count beyond the records present ends quietly at the message's end.
        if (in.Remaining() == 0)
            break;
        in >> record;
        if (in.Failed())
            return;
        log.Message("%s (%s)", record.IP.c_str(), record.Name.c_str());
        CCSLock lock(g_usersLock);
        settings->AddOrUpdateUser(record.Name.c_str(), record.IP.c_str());
    }
}

// kivora-forward: the only part of KIVORA that holds CAP_NET_RAW. Started by the
// window with one end of a socketpair as descriptor LinkFd; it takes no other input.

#include "forward/CForwardHelper.h"
#include "forward/ForwardProtocol.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace ForwardProtocol;

namespace
{

bool IsSeqPacketSocket(int fd)
{
    int type = 0, domain = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0)
        return false;
    length = sizeof domain;
    return ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 &&
           type == SOCK_SEQPACKET && domain == AF_UNIX;
}

int Refuse(ExitStatus status)
{
    std::fprintf(stderr, "kivora-forward is started by kivora and takes no commands.\n");
    return static_cast<int>(status);
}

} // namespace

int main(int argc, char** argv)
{
    // Nothing but what the window gave: no descriptor beyond the socketpair end.
    ::close_range(LinkFd + 1, ~0u, 0);
    if (argc != ArgumentCount || std::strcmp(argv[1], ParentOption) != 0)
        return Refuse(ExitStatus::BadArguments);
    if (!IsSeqPacketSocket(LinkFd))
        return Refuse(ExitStatus::BadLink);
    // The kernel clears the parent-death signal when a program with file capabilities
    // starts, so set it here; then check that the parent did not go before that.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    char* end = nullptr;
    const long parent = std::strtol(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || ::getppid() != static_cast<pid_t>(parent))
        return static_cast<int>(ExitStatus::ParentGone);
    return static_cast<int>(CForwardHelper::Run(LinkFd));
}

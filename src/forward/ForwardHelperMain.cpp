// kivora-forward: the only part of KIVORA that holds CAP_NET_RAW. Started by the
// window with one end of a socketpair as descriptor 3; it takes no other input.

#include "base/CUSocket.h"
#include "forward/CForwardHelper.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr int LinkFd = 3;

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

} // namespace

int main(int argc, char** argv)
{
    // Nothing but what the window gave: no descriptor beyond the socketpair end.
    ::close_range(LinkFd + 1, ~0u, 0);
    if (argc != 3 || std::strcmp(argv[1], "--parent") != 0 || !IsSeqPacketSocket(LinkFd)) {
        std::fprintf(stderr, "kivora-forward is started by kivora and takes no commands.\n");
        return 2;
    }
    // The kernel clears the parent-death signal when a program with file capabilities
    // starts, so set it here; then check that the parent did not go before that.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != static_cast<pid_t>(std::strtol(argv[2], nullptr, 10)))
        return 2;
    InitWinsock();
    const int status = CForwardHelper::Run(LinkFd);
    ExitWinsock();
    return status;
}

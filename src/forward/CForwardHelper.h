#pragma once

#include "forward/ForwardProtocol.h"

// The privileged side of forwarding, run by the kivora-forward program: opens the
// capture and the send socket, gives up every capability and checks that they are
// gone, and only then reads one MsgStart from its socketpair end; forwards until
// MsgStop or the end of the socketpair, and sends the counters back
// (docs/forward-helper.md).
class CForwardHelper
{
public:
    // Serves the window on `fd` (a SOCK_SEQPACKET socketpair end). Gives how it ended.
    static ForwardProtocol::ExitStatus Run(int fd);
};

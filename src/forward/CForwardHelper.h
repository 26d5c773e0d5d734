#pragma once

// The privileged side of forwarding, run by the kivora-forward program: reads one
// MsgStart from its socketpair end, opens the capture and the send socket, gives up
// every capability, forwards until MsgStop or the end of the socketpair, and sends
// the counters back (docs/forward-helper.md).
class CForwardHelper
{
public:
    // Serves the window on `fd` (a SOCK_SEQPACKET socketpair end). Gives the exit
    // status: 0 after a stop or when the window went, 1 when forwarding could not
    // start, 2 for anything that is not the protocol, 3 when the loop ended by itself.
    static int Run(int fd);
};

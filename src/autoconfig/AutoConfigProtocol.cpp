#include "autoconfig/AutoConfigProtocol.h"

#include "base/CLogSink.h"
#include "base/CUSocket.h"

int ProcessAutoConfigInput(CUSocket* self, CUSocket* s, int32_t knownCommand, CLogSink* log,
                           const std::function<void(CUBuffer&)>& handler)
{
    // One message after the other in a loop, not a call per message: the peer decides
    // how many tiny messages one read holds, and the nesting would run out of stack.
    int n;
    do {
        n = self->CUSocket::ProcessInput(s);
        if (n == 0) {
            if (s->InputRefused() && log)
                log->Message("WARNING: Message longer than %d bytes received; connection closed.",
                             CUSocket::MaxMessageLength);
            return 0;
        }
        CUBuffer& in = s->In;
        while (in.GetReadPosition() < n) {
            int32_t command = 0;
            in >> command;
            if (!in.Failed() && command == knownCommand) {
                handler(in);
            } else if (!in.Failed()) {
                if (log)
                    log->Message("WARNING: Unknown Command (%d) received: %d bytes.", command, n);
                // From the command at the front this lands on the message's end; the read
                // limit keeps any other start from going past it.
                in.Seek(n - 4);
                break;
            }
            if (in.Failed()) {
                // A field runs past the message's end: what was read before it stands,
                // nothing after it is trusted.
                if (log)
                    log->Message("WARNING: Malformed message received: %d bytes.", n);
                break;
            }
        }
        in.Remove(static_cast<size_t>(n));
        in.ClearFailed();
    } while (s->In.GetDataLength() >= 4);
    return n;
}

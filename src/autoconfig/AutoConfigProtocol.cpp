#include "autoconfig/AutoConfigProtocol.h"

#include "autoconfig/CLogRound.h"
#include "base/CUSocket.h"

#include <cstdio>

int ProcessAutoConfigInput(CUSocket* self, CUSocket* s, int32_t knownCommand, CLogSink* log,
                           const std::function<void(CUBuffer&, CLogRound&)>& handler)
{
    // One round: what one Poll brought in. A flood of bad messages becomes a line per
    // kind of warning, not a line per message.
    CLogRound round(log);
    // One message after the other in a loop, not a call per message: the peer decides
    // how many tiny messages one read holds, and the nesting would run out of stack.
    int n;
    do {
        n = self->CUSocket::ProcessInput(s);
        if (n == 0) {
            if (s->InputRefused())
                round.Message("WARNING: Message longer than %d bytes received; connection closed.",
                              CUSocket::MaxMessageLength);
            return 0;
        }
        CUBuffer& in = s->In;
        while (in.GetReadPosition() < n) {
            int32_t command = 0;
            in >> command;
            if (!in.Failed() && command == knownCommand) {
                handler(in, round);
            } else if (!in.Failed()) {
                round.Warning(CLogRound::UnknownCommand,
                              "WARNING: Unknown Command (%d) received: %d bytes.", command, n);
                // From the command at the front this lands on the message's end; the read
                // limit keeps any other start from going past it.
                in.Seek(n - 4);
                break;
            }
            if (in.Failed()) {
                // A field runs past the message's end: what was read before it stands,
                // nothing after it is trusted.
                round.Warning(CLogRound::Malformed,
                              "WARNING: Malformed message received: %d bytes.", n);
                break;
            }
        }
        in.Remove(static_cast<size_t>(n));
        in.ClearFailed();
    } while (s->In.GetDataLength() >= 4);
    return n;
}

void CutName(CUString& name)
{
    const std::string& text = name.Str();
    if (text.size() <= static_cast<size_t>(MaxNameLength))
        return;
    size_t end = MaxNameLength;
    // A UTF-8 continuation byte at the cut means the character straddles it: leave it out.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    name = CUString(text.substr(0, end));
}

CUString ForLog(const CUString& text)
{
    std::string shown;
    int characters = 0;
    const std::string& s = text.Str();
    for (size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        bool continuation = (c & 0xC0) == 0x80;
        if (!continuation && characters++ == MaxLogTextLength) {
            shown += "...";
            break;
        }
        if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return CUString(std::move(shown));
}

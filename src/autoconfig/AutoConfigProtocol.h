#pragma once

#include <cstdint>
#include <functional>

class CLogSink;
class CUBuffer;
class CUSocket;

// The AutoConfig service's TCP port.
constexpr int AUTOCONFIG_PORT = 8087;

// Command values, the first integer of every command.
constexpr int32_t CMD_JOIN = 0;      // client to host: the client's name
constexpr int32_t CMD_USER_INFO = 1; // host to client: every player, the host last

// The input processing both roles share. `self` is the socket whose ProcessInput is
// running, `s` the socket whose input holds the data. Takes the next complete message
// out of s's input and runs it command by command: `knownCommand` goes to `handler`,
// which reads the command's body from the buffer; any other command is logged and
// ends the message. A body cut short (the buffer's failed flag) is logged and ends the
// message too. While 4 bytes or more remain, goes on with the next message. Gives the
// last message's length, or 0 when the bytes left hold no complete message.
int ProcessAutoConfigInput(CUSocket* self, CUSocket* s, int32_t knownCommand, CLogSink* log,
                           const std::function<void(CUBuffer&)>& handler);

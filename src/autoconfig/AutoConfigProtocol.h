#pragma once

#include "base/CUString.h"

#include <cstdint>
#include <functional>

class CLogRound;
class CLogSink;
class CUBuffer;
class CUSocket;

// The AutoConfig service's TCP port, and the queue of connections not yet accepted.
constexpr int AutoConfigPort = 8087;
constexpr int ListenBacklog = 64;

// Command values, the first integer of every command.
constexpr int32_t CMD_JOIN = 0;      // client to host: the client's name
constexpr int32_t CMD_USER_INFO = 1; // host to client: every player, the host last

// A name from the wire is kept to this many bytes.
constexpr int MaxNameLength = 255;
// Names and IP texts in log lines are cut to this many characters.
constexpr int MaxLogTextLength = 64;

// The input processing both roles share. `self` is the socket whose ProcessInput is
// running, `s` the socket whose input holds the data. Takes the next complete message
// out of s's input and runs it command by command: `knownCommand` goes to `handler`,
// which reads the command's body from the buffer and logs through the round's log;
// any other command is a warning and ends the message. A body cut short (the buffer's
// failed flag) is a warning and ends the message too. While 4 bytes or more remain,
// goes on with the next message. Repeated warnings of one call are one line with a
// count. Gives the last message's length, or 0 when the bytes left hold no complete
// message.
int ProcessAutoConfigInput(CUSocket* self, CUSocket* s, int32_t knownCommand, CLogSink* log,
                           const std::function<void(CUBuffer&, CLogRound&)>& handler);

// Cuts a name to its first MaxNameLength bytes, never inside a UTF-8 character.
void CutName(CUString& name);
// A name or IP text as a log line shows it: control characters escaped (\xNN), at
// most MaxLogTextLength characters, a cut one ending in "...".
CUString ForLog(const CUString& text);

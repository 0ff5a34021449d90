// The Windows form of the local channel (local_socket.h): named pipes.
//
// A listener is a pipe name whose instances accept one client each; a
// connection is a descriptor of kind Pipe. Pipes are opened overlapped and
// in message mode, so that a wait, a timeout and the end of one side's
// sending have a form: a read is kept pending into a buffer of the
// connection (its event is what a wait waits on), a send that outlasts the
// connection's timeout is cancelled, and the end of sending is an empty
// message, which the other side reads as the end of the stream (named pipes
// have no half-close). The other side closing its end reads as the end too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win/native.h"

namespace holm::platform::win {

// What the descriptor-level calls of io.cpp do with a pipe.
//
// Reads what the connection has, waiting for data as long as its timeout
// allows: the count, 0 at the end, -1 with errno (EAGAIN: the timeout
// passed).
ptrdiff_t readPipe(int fd, void* buffer, size_t size);
// Writes all of `size` bytes as one message, as long as the timeout allows.
ptrdiff_t writePipe(int fd, const void* buffer, size_t size);
// The event that is set once the connection is readable (a read completed,
// the end reached or a failure to report); null when it is readable now.
// Starts the connection's read when none is pending.
HANDLE pipeReadEvent(int fd);

// The number a connected peer gets as its user id (PeerCredentials::uid):
// 0, the number of the process's own user (effectiveUserId()), for the
// local system account, for a token in which the Administrators group is
// enabled (an elevated administrator; a filtered token has it for deny
// only) and for the process's own user `self`; the relative id of its SID
// (the user numbers of sessions.h) for anyone else, and kForeignUser when
// that would be 0.
uint32_t peerUserNumber(PSID user, const TOKEN_GROUPS* groups, PSID self);
inline constexpr uint32_t kForeignUser = 0xFFFFFFFE;

}  // namespace holm::platform::win

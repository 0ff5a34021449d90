// Whether this process's standard error is connected to the system journal,
// and where the journal takes native entries.
#pragma once

#include <string>

namespace holm::platform {

// True when JOURNAL_STREAM (set by the service manager as
// "<device>:<inode>" of the stream it connected) names the file open on
// standard error. A redirected standard error (a terminal, a file, a pipe of
// its own) no longer matches, so the variable inherited from a parent does
// not count.
bool standardErrorIsJournal();

// The journal's datagram socket for native entries: HOLM_JOURNAL_SOCKET when
// set (tests read the entries from a socket of their own), else
// /run/systemd/journal/socket.
std::string journalSocketPath();

}  // namespace holm::platform

// Whether this process's standard error is connected to the system journal.
#pragma once

namespace holm::platform {

// True when JOURNAL_STREAM (set by the service manager as
// "<device>:<inode>" of the stream it connected) names the file open on
// standard error. A redirected standard error (a terminal, a file, a pipe of
// its own) no longer matches, so the variable inherited from a parent does
// not count.
bool standardErrorIsJournal();

}  // namespace holm::platform

// The host as the system's service. Where the service manager starts the
// program through a dispatcher of its own, `runService` connects to it and
// runs the host's body in the service's thread; its stop and shut-down
// requests arrive as TERM on the host's SignalChannel, a request to re-read
// the configuration as HUP, and logons and logoffs wake the SessionMonitor.
// The body's states reach the manager through notifyServiceManager
// (signals.h). Where the program was not started as a service (a console,
// a test, a system whose service manager starts programs plainly), `body`
// simply runs.
#pragma once

#include <functional>
#include <string>

#include "platform/result.h"

namespace holm::platform {

// Runs `body` as described above; its result is the process's exit status.
int runService(const std::function<int()>& body);

// Sends this process's standard error, and that of the children it starts
// from here on, to the end of the file `path` (created if missing): the log
// of a service whose manager keeps no output of its programs.
Status appendStandardErrorTo(const std::string& path);

}  // namespace holm::platform

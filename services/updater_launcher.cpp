// Running the configuration updater: its command line split by the Windows
// rules, the program verified as a product file and started from the
// descriptor that was verified, and waited for.
#include <string>
#include <vector>

#include "common/utf16.h"
#include "platform/command_line.h"
#include "platform/spawn.h"
#include "security/dependency_rule.h"
#include "services/config_write.h"

namespace holm::services {

UpdaterRun runVerifiedUpdater(const std::u16string& commandLine, const UpdaterCheck& check) {
    UpdaterRun run;
    const std::vector<std::string> arguments =
        platform::splitCommandLine(common::utf16ToUtf8(commandLine));
    if (arguments.empty() || arguments.front().empty()) {
        run.failure = "the command line names no program";
        return run;
    }
    security::DependencyRule rule;
    rule.trust = check.trust;
    rule.systemDirectories = check.systemLibraries;
    auto program = security::verifyProgram(arguments.front(), rule);
    if (!program) {
        run.failure = "refused: " + program.error();
        return run;
    }
    if (check.beforeStart) {
        check.beforeStart();
    }
    platform::SpawnOptions options;
    options.programFd = program->descriptor();
    auto process = platform::Process::spawn(arguments, options);
    if (!process) {
        run.failure = process.error().message();
        return run;
    }
    run.started = true;
    const auto waited = process->wait(platform::io::kNoDeadline);
    if (!waited || *waited != platform::Process::Wait::Exited || !process->exitStatus()) {
        // The child stays with the background reaper; how it ends is unknown.
        run.failure = waited ? "its end could not be awaited" : waited.error().message();
        return run;
    }
    run.signalled = process->exitStatus()->signalled;
    run.exitCode = process->exitStatus()->code;
    return run;
}

UpdaterRun runUpdaterProcess(const std::u16string& commandLine) {
    return runVerifiedUpdater(commandLine, {});
}

}  // namespace holm::services

// CConfigWriteImpl, the configuration write service (id 3): collects change
// commands and hands them to the configuration updater program on commit.
//
// Commit writes the commands as an UPDINI command file in the process's
// temporary folder (UTF-16LE with a byte-order mark, keys Cmd0, Cmd1, ...),
// starts the updater ("#FN_AVCONFIG") with the command line
//   "<updater>" /UPDATEINIBYFILE="<command file>" <blank>
// waits for it to end and deletes the command file. The command file is
// created exclusively (never a file someone placed there) and a failure to
// write it fails the commit before anything is started. How the updater
// ended does not change commit's result; an exit code other than 0 (or an
// end by a signal) goes to the host's log.
//
// One thread at a time uses an object (it has no lock); objects on
// different threads use different command files (the thread id is in the
// name).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hlmplg/config_write.h"
#include "security/library_dependencies.h"
#include "security/trust_store.h"
#include "services/config_store.h"

namespace holm::services {

// How a run of the updater went.
struct UpdaterRun {
    bool started = false;
    // When started: whether a signal ended it, and its exit code or that
    // signal's number.
    bool signalled = false;
    int exitCode = 0;
    std::string failure;  // why it did not start, or why its end is unknown
};

// Runs a command line (split by the Windows rules) and waits for its end.
using UpdaterLauncher = std::function<UpdaterRun(const std::u16string& commandLine)>;

// The launcher of the product: verifies the command line's program (a path,
// no search) as a product file, its dependencies by the dependency rule,
// starts it from the verified descriptor in this process's environment and
// working directory and waits for it without a time limit. A refused
// program is not started; `failure` says why.
UpdaterRun runUpdaterProcess(const std::u16string& commandLine);

// How runVerifiedUpdater checks the program.
struct UpdaterCheck {
    const security::TrustStore* trust = nullptr;  // null: the system's keys
    security::DirectoryList systemLibraries = security::systemLibraryDirectories();
    // Runs between the check and the start.
    std::function<void()> beforeStart;
};

// runUpdaterProcess with the check's keys and directories.
UpdaterRun runVerifiedUpdater(const std::u16string& commandLine, const UpdaterCheck& check);

// Where the service's failures go (level 0: failures).
using ServiceLog = std::function<void(uint32_t level, const std::u16string& text)>;

class CConfigWriteImpl final : public HlmPlg::IConfigWrite {
  public:
    // `store` gives the temporary folder and the updater's path; `launcher`
    // runs the updater (see processUpdaterLauncher); `log` may be empty.
    CConfigWriteImpl(CConfigStore& store, UpdaterLauncher launcher, ServiceLog log);

    void clear() override;
    void setValue(const char16_t* section, const char16_t* key, const char16_t* value) override;
    void setIndexedValue(const char16_t* section, const char16_t* key,
                         const char16_t* value) override;
    void removeValue(const char16_t* section, const char16_t* key) override;
    bool commit() override;

    const std::vector<std::u16string>& pendingCommands() const { return commands_; }

    // The command file's bytes for `commands`, or nothing when a command
    // holds a line break (it could not be read back as written).
    static std::optional<std::string> commandFileContent(
        const std::vector<std::u16string>& commands);
    // The command file's path in `tempDirectory` (which ends in '/') for
    // this process and thread.
    static std::u16string commandFilePath(const std::u16string& tempDirectory);

  private:
    void add(std::u16string command);
    // Writes the command file; false (after logging why) when it cannot.
    bool writeCommandFile(const std::u16string& path);
    void logFailure(const std::u16string& text) const;

    CConfigStore& store_;
    UpdaterLauncher launcher_;
    ServiceLog log_;
    std::vector<std::u16string> commands_;
    // A command could not be kept (no memory): committing the others alone
    // would apply an incomplete change, so commit refuses until clear().
    bool lostCommand_ = false;
};

}  // namespace holm::services

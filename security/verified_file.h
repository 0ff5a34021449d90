// Verified opening of product files, and the file self-test built on it.
//
// A VerifiedFile opens a file once, without following a symbolic link at its
// name and without blocking on a FIFO, checks that it is a regular file owned
// by root or by the process's own user and not writable by group or others
// (its directory likewise), verifies its detached signature `<file>.sig` from
// that same descriptor, and keeps the descriptor. Whoever then loads or reads
// the file goes through `descriptor()` or `loadPath()` ("/proc/self/fd/N"), so
// what is used is exactly what was verified, even if the name is replaced
// afterwards.
//
// Only the file's own directory is checked, not its ancestors: a directory
// further up that is world-writable with the sticky bit (/tmp) does not let
// others replace entries of a directory they do not own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/unique_handle.h"
#include "platform/verified_open.h"
#include "security/reason.h"
#include "security/trust_store.h"

namespace holm::security {

// Whether a module with this device and inode is loaded in the process.
using LoadedModuleQuery = std::function<bool(uint64_t device, uint64_t inode)>;

// Asks the dynamic loader's list of modules.
bool isLoadedModule(uint64_t device, uint64_t inode);

struct VerifyOptions {
    // Also accept a file that has no signature at all (only an absent
    // signature: a broken one is refused all the same).
    bool relaxed = false;
    // When set and it reports the opened file as loaded, the file passes as
    // AlreadyLoaded without further checks.
    LoadedModuleQuery isLoaded;
};

class VerifiedFile {
  public:
    static VerifiedFile open(const std::string& path, const TrustStore& trust,
                             const VerifyOptions& options = {});

    bool passed() const { return accepted(reason_); }
    explicit operator bool() const { return passed(); }
    Reason reason() const { return reason_; }
    // "<path>: <reason>", for logs and tools.
    std::string message() const;

    const std::string& path() const { return path_; }
    // The verified descriptor (read-only), -1 when the file was refused.
    int descriptor() const { return fd_.get(); }
    // A path that opens the verified descriptor itself; empty when refused.
    std::string loadPath() const;
    platform::FileIdentity identity() const { return info_.identity; }
    uint64_t size() const { return info_.size; }
    platform::UniqueFd releaseDescriptor() { return std::move(fd_); }

  private:
    VerifiedFile(std::string path, Reason reason) : path_(std::move(path)), reason_(reason) {}

    std::string path_;
    Reason reason_;
    platform::UniqueFd fd_;
    platform::OpenedFileInfo info_;
};

struct SelftestContext {
    // A path without '/' is taken in this directory.
    std::string productDirectory;
    // Keys to trust; null means TrustStore::system().
    const TrustStore* trust = nullptr;
    LoadedModuleQuery isLoaded = isLoadedModule;
};

// The file self-test: passes if the file is already loaded in the process
// (only when `alwaysVerify` is false), or if its signature verifies; with
// `relaxed`, also if it has no signature but safe owner and permissions.
// The result keeps the verified descriptor for loading.
VerifiedFile selftest(const std::string& path, bool relaxed, bool alwaysVerify,
                      const SelftestContext& context = {});

}  // namespace holm::security

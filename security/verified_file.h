// Verified opening of product files, and the file self-test built on it.
//
// A VerifiedFile opens a file once, without following a symbolic link at its
// name and without blocking on a FIFO, checks that it is a regular file owned
// by root or by the process's own user and not writable by group or others
// (its directory likewise), verifies its detached signature `<file>.sig` from
// that same descriptor against the keys its role admits, and keeps the
// descriptor. Whoever then loads the file goes through `descriptor()` or
// `loadPath()` ("/proc/self/fd/N"), so what is used is exactly what was
// verified, even if the name is replaced afterwards. Data files are read
// through VerifiedData (security/verified_data.h) instead.
//
// Only the file's own directory is checked, not its ancestors: a directory
// further up that is world-writable with the sticky bit (/tmp) does not let
// others replace entries of a directory they do not own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/file_identity.h"
#include "platform/unique_handle.h"
#include "platform/verified_open.h"
#include "security/reason.h"
#include "security/trust_store.h"

namespace holm::security {

// Whether a module whose mapped file has this identity is loaded.
using LoadedModuleQuery = std::function<bool(const platform::FileIdentity& file)>;

// Asks the kernel's mapping table about the loader's modules.
bool isLoadedModule(const platform::FileIdentity& file);

struct VerifyOptions {
    // Also accept a file that has no signature at all (only an absent
    // signature: a broken one is refused all the same).
    bool relaxed = false;
    // When set and it reports the opened file as loaded, a file that passes
    // the owner and permission rules passes as AlreadyLoaded without a
    // signature check: loading it again runs nothing that does not already
    // run in the process.
    LoadedModuleQuery isLoaded;
};

class VerifiedData;

class VerifiedFile {
  public:
    static VerifiedFile open(const std::string& path, const TrustStore& trust, FileRole role,
                             const VerifyOptions& options = {});

    bool passed() const { return accepted(reason_); }
    explicit operator bool() const { return passed(); }
    Reason reason() const { return reason_; }
    // Who signed the file, when its signature was checked and passed.
    std::optional<KeyRole> signer() const { return signer_; }
    // "<path>: <reason>", for logs and tools.
    std::string message() const;

    const std::string& path() const { return path_; }
    // The verified descriptor (read-only), -1 when the file was refused.
    int descriptor() const { return fd_.get(); }
    // A path that opens the verified descriptor itself; empty when refused.
    std::string loadPath() const;
    platform::FileIdentity identity() const { return info_.identity; }
    uint64_t size() const { return info_.size; }

  private:
    friend class VerifiedData;

    VerifiedFile(std::string path, Reason reason) : path_(std::move(path)), reason_(reason) {}

    // Checks that the content behind `fd` is `signedSize` bytes with SHA-256
    // `digest`: Verified, or why not.
    using ContentCheck = std::function<Reason(int fd, uint64_t signedSize, const Digest& digest)>;

    // The whole verification, with the content examined by `checkContent`.
    static VerifiedFile verify(const std::string& path, const TrustStore& trust, FileRole role,
                               const VerifyOptions& options, const ContentCheck& checkContent);

    std::string path_;
    Reason reason_;
    std::optional<KeyRole> signer_;
    platform::UniqueFd fd_;
    platform::OpenedFileInfo info_;
};

struct SelftestContext {
    // A path without '/' is taken in this directory.
    std::string productDirectory;
    // Keys to trust; null means TrustStore::system().
    const TrustStore* trust = nullptr;
    LoadedModuleQuery isLoaded = isLoadedModule;
    // The product's own files unless the caller says otherwise; one of the
    // product files of productDirectory (security/product_files.h) is always
    // checked as a product file.
    FileRole role = FileRole::Product;
};

// Whether the file self-test accepts a file without a signature whose owner
// and permissions are safe (the relaxed check).
enum class UnsignedFiles { Refuse, AcceptIfSafe };
// Whether a file already loaded in the process passes on that alone (when
// only its owner can change it) or has its signature verified like any other.
enum class LoadedFiles { Accept, Verify };

// The file self-test: passes if the file is already loaded in the process
// (with LoadedFiles::Accept) and only its owner can change it, or if its
// signature verifies; with UnsignedFiles::AcceptIfSafe, also if it has no
// signature but safe owner and permissions. The result keeps the verified
// descriptor for loading.
VerifiedFile selftest(const std::string& path, UnsignedFiles unsignedFiles, LoadedFiles loadedFiles,
                      const SelftestContext& context = {});

}  // namespace holm::security

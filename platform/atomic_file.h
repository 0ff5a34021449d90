// Replacing a file's content atomically: a reader, and whatever survives a
// crash, sees the old content or the new one, never a mixture.
//
// The content goes to a temporary file on the same file system, is flushed
// to the device, and only then renamed over the target. Any failure on the
// way removes the temporary file, leaves the target as it was and reports
// the error. This is the pattern every writer of state uses (the registry
// store's values, the configuration and INI files, the updater, logs).
//
// The replacement keeps what the file was: the owner, group and permission
// bits (set-id and sticky bits included) of the regular file it replaces
// are given to the new file before it takes the name. A new file gets the
// caller's `mode` exactly (the process umask does not narrow it) and the
// effective user and group. When the owner cannot be kept (a process
// without the right to give a file away), the replacement is refused and
// the file stays as it was. Hard links are not kept: the new file is a new
// inode, so other names of the old file still show the old content.
//
// The temporary file is named ".<name>.tmp-<random>" beside the target,
// created owner-only and locked (an exclusive advisory lock) for as long as
// it is written. A replacement of a path first sweeps the leftovers of
// writers of that name that died (regular files of this process's user that
// no one holds locked), but never in a directory that anyone but root and
// this user can write.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::platform {

struct AtomicWriteOptions {
    uint32_t mode = 0644;  // permission bits of a new file
    // Also flush the target's directory after the rename, so that the new
    // name itself survives a power loss (not only "old or new").
    bool syncDirectory = false;
};

// A replacement being written, for content produced piece by piece (a log
// cut to its last lines, say): `begin` creates the locked temporary file,
// the caller writes to `fd()`, and `commit` gives the temporary the owner,
// group and mode of the file it replaces, flushes it and renames it over
// the target. Destroyed without a commit (or after a failed one), the
// temporary file is removed and the target is as it was.
class FileReplacement {
  public:
    // Starts replacing the file at `path` (its directory may be reached
    // through links; the last component is the name replaced).
    static Result<FileReplacement> begin(const std::string& path,
                                         const AtomicWriteOptions& options = {});
    // The same for `targetName` in `targetDirectory`, with the temporary
    // file `temporaryName` in `temporaryDirectory` (one file system; neither
    // name may contain a `/`; a leftover of that name is replaced). The
    // directories are duplicated: the caller keeps its descriptors.
    static Result<FileReplacement> begin(int temporaryDirectory, const std::string& temporaryName,
                                         int targetDirectory, const std::string& targetName,
                                         const AtomicWriteOptions& options = {});

    FileReplacement(FileReplacement&& other) noexcept = default;
    FileReplacement& operator=(FileReplacement&& other) noexcept;
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;
    ~FileReplacement();

    // The temporary file, open for writing.
    int fd() const { return file_.get(); }
    // Keeps the target's owner, group and mode (or takes `mode` for a new
    // file), flushes, and renames over the target. Once only.
    Status commit();

  private:
    FileReplacement() = default;
    // ".<name>.tmp-<random>": the temporary file's name beside `name`.
    static std::string temporaryNameFor(std::string_view name);
    // Closes and removes the temporary file unless it was committed.
    void discard() noexcept;
    // Gives the temporary file the target's owner, group and mode.
    Status adoptTarget();
    // Renames the flushed temporary file over the target.
    Status renameOverTarget();

    UniqueFd temporaryDirectory_;
    UniqueFd targetDirectory_;
    UniqueFd file_;
    std::string temporaryName_;
    std::string targetName_;
    AtomicWriteOptions options_;
};

// Gives the file open at `to` the owner, group and permission bits of the
// regular file open at `from`, for a writer that builds a file's successor
// itself (the report log cut to its last entries).
Status copyOwnerAndMode(int from, int to);

// Writes `content` to `temporaryName` in `temporaryDirectory` (a leftover of
// that name is replaced), then renames it to `targetName` in
// `targetDirectory`. Both directories are descriptors on one file system;
// neither name may contain a `/`.
Status replaceFileAtomically(int temporaryDirectory, const std::string& temporaryName,
                             int targetDirectory, const std::string& targetName,
                             std::span<const uint8_t> content,
                             const AtomicWriteOptions& options = {});

// Replaces the file at `path`, with the temporary file beside it.
Status replaceFileAtomically(const std::string& path, std::string_view content,
                             const AtomicWriteOptions& options = {});

}  // namespace holm::platform

// Files and directories.
//
// Paths are UTF-8 `std::string`s separated by '/'. Functions that can fail
// return a Result (platform/result.h) or, where an interface of the system
// reports one, a Windows error number (platform/errors.h); nothing here
// throws.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::platform {

enum class FileType { kRegular, kDirectory, kSymlink, kOther };

struct FileInfo {
    FileType type = FileType::kOther;
    uint32_t mode = 0;  // permission bits, including set-id and sticky bits
    uint32_t uid = 0;
    uint64_t size = 0;
    std::chrono::system_clock::time_point modified;
    uint64_t device = 0;
    uint64_t inode = 0;
};

// Facts about the file `path` names, following symbolic links.
Result<FileInfo> statPath(const std::string& path);

// Facts about `path` itself: a symbolic link is reported as kSymlink.
Result<FileInfo> lstatPath(const std::string& path);

// Facts about the file open on `fd`.
Result<FileInfo> statDescriptor(int fd);

// `path` made absolute with every symbolic link, "." and ".." resolved:
// the file the system opens for it.
Result<std::string> resolvedPath(const std::string& path);

// Questions answered yes or no: a path that cannot be examined is "no".
// Whether something exists at `path` (a dangling link does not count).
bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);

// The size in bytes of the file at `path`.
Result<uint64_t> fileSize(const std::string& path);

// Opens `path` read-only and close-on-exec, refusing a symbolic link as the
// last component (ELOOP), without blocking on a FIFO at the open.
Result<UniqueFd> openForReading(const std::string& path);

// Creates the directory `path` with `mode` (less the process umask). The
// creation itself is the existence test: something of any type (directory,
// file, link) already there gives EEXIST with the Windows number 183; a
// missing parent gives ENOENT with 3.
Status makeDirectory(const std::string& path, uint32_t mode);

// The error of a failed open or creation of `path`, as Windows tells the two
// cases apart: "not found" (ENOENT) becomes "path not found" (3) when the
// directory that should hold `path` is missing (the same number a directory
// creation gives for a missing parent); any other error is kept.
Error openPathError(const std::string& path, const Error& error);

// Removes the directory `path` if it is empty. Fails with the Windows
// number 145 when it has contents, 2 when it is missing, 3 when it is not a
// directory (a link to one included).
Status removeEmptyDirectory(const std::string& path);

// Renames `from` to `to` only if nothing exists at `to` (EEXIST, Windows
// 183, then): a directory put in place this way is complete the moment its
// name appears.
Status renameNoReplace(const std::string& from, const std::string& to);

// Makes the absolute directory `path` and every missing directory above it
// (with `mode`), walking down from the root one name at a time. A symbolic
// link on the way is followed only when it and the directory holding it
// belong to root or to the effective user; any other refuses the whole path
// (ELOOP), so a link planted where the folder is to be made is never
// followed. Existing directories are fine.
Status makeDirectoryChain(const std::string& path, uint32_t mode);

// Renames `from` to `to`, replacing a file at `to` in one step (through the
// I/O module's system-call table, so tests can make it fail).
Status renameReplacing(const std::string& from, const std::string& to);
// Cuts the file open on `fd` to `size` bytes.
Status truncateDescriptor(int fd, uint64_t size);
// Removes the file (or link) `path`; ENOENT (2) when it is missing.
Status removeFile(const std::string& path);

// Removes `path` and everything below it without following symbolic links (a
// link is removed, never what it points to), without crossing into another
// mount, and only removing directories owned by the effective user. Refuses
// (EACCES, Windows 5; nothing removed) when `path` itself is a directory of
// another owner. Entries that must be left alone (mount points, directories of other
// owners) are skipped and listed in `skipped`; the rest is removed, however
// deep the tree (a bounded number of directories is held open at a time).
// Succeeds when `path` is gone (or was never there), otherwise fails with the
// first error met (EACCES for a skipped directory, EINVAL for a path without
// a last component such as "/").
Status removeTreeSafely(const std::string& path, std::vector<std::string>* skipped = nullptr);

struct DirectoryEntry {
    std::string name;
    FileType type = FileType::kOther;  // a symbolic link is kSymlink, not its target's type
};

// The entries of `directory` (without "." and "..") whose names match
// `pattern` by the Windows rules: '*' matches any run of characters, '?'
// exactly one character (a whole UTF-8 sequence), A-Z match case-insensitively,
// and "*.*" matches every name, dotted or not. Unsorted. Fails with the
// Windows number 3 when the directory does not exist.
Result<std::vector<DirectoryEntry>> enumerate(const std::string& directory,
                                              const std::string& pattern);

// The entries of `directory` (without "." and "..") whose names are `prefix`,
// taken literally and compared case-sensitively ('*' and '?' in it are plain
// characters), followed by exactly `suffixCharacters` characters (whole UTF-8
// sequences). Unsorted. Fails as `enumerate` does.
Result<std::vector<DirectoryEntry>> enumerateWithPrefix(const std::string& directory,
                                                        const std::string& prefix,
                                                        size_t suffixCharacters);

// Whether `name` matches `pattern` by the rules of `enumerate`.
bool matchesPattern(const std::string& name, const std::string& pattern);

// The directory for temporary files: TMPDIR when it is an absolute path of an
// existing directory, otherwise "/tmp"; always ending in exactly one '/'.
std::string temporaryDirectory();

// The directory of the system's shared libraries, ending in exactly one '/':
// "/usr/lib/x86_64-linux-gnu/" where it exists, otherwise "/usr/lib/".
std::string systemDirectory();

// The file of the program a command line names first: `name` as it stands
// when it has a directory part; otherwise the first regular file of that name
// in the system's program directories, never along the caller's PATH (which
// a service must not trust) nor in the current directory. Here those are
// /usr/local/sbin, /usr/local/bin, /usr/sbin, /usr/bin, /sbin and /bin; on
// Windows the running program's own directory, then the system directory
// and the Windows directory, with ".exe" added to a name without an
// extension. Empty when `name` is empty or nothing is found.
std::string findProgram(const std::string& name);

}  // namespace holm::platform

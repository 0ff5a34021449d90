// Opening files for verification: no symbolic links followed at the last
// step, no hang on FIFOs, and the identity, owner and permissions of what was
// actually opened, so that a caller can check a file and then use exactly the
// descriptor it checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file_identity.h"
#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::platform {

struct OpenedFileInfo {
    FileIdentity identity;
    uint64_t size = 0;
    uint32_t owner = 0;                    // user id
    bool writableByGroupOrOthers = false;  // a group or world write bit is set
};

struct OpenedFile {
    UniqueFd fd;
    OpenedFileInfo info;
};

// Why an open for verification failed: the refusals a verifier reports
// differently, beside the errno value.
enum class OpenRefusal {
    NotFound,      // the name (or a directory on the way) does not exist
    SymbolicLink,  // the name is a symbolic link
    WrongType,     // not a regular file (openFileAt) or not a directory (openDirectory)
    Failed,        // any other error; `error` holds the errno value
};

struct OpenFailure {
    OpenRefusal refusal = OpenRefusal::Failed;
    int error = 0;  // the errno value, when a system call reported one
};

using OpenResult = Result<OpenedFile, OpenFailure>;

// Opens a directory read-only and close-on-exec, following symbolic links in
// the path, to serve as the anchor of openFileAt.
OpenResult openDirectory(const std::string& path);

// Opens `name` inside the directory `directoryFd` read-only, close-on-exec and
// non-blocking, without following a symbolic link at `name`. Only a regular
// file is opened: the type is checked before opening (so devices and FIFOs are
// never opened) and again on the descriptor.
OpenResult openFileAt(int directoryFd, const std::string& name);

// A path naming the open descriptor itself ("/proc/self/fd/N"), through which
// the file can be opened again or loaded by the dynamic loader.
std::string descriptorPath(int fd);

// Creates a new file (never replacing anything, not following a symbolic
// link) with the permission bits `mode` and writes `content` to it. A partly
// written file is removed; the error is the write's.
Status createNewFile(const std::string& path, std::string_view content, uint32_t mode);

// Creates a FIFO at `path` with the permission bits `mode`.
Status createFifo(const std::string& path, uint32_t mode);

}  // namespace holm::platform

// Files and directories.
//
// Paths are UTF-8 `std::string`s separated by '/'. Functions that can fail
// report a Windows error number (platform/errors.h) through an optional
// `error` argument; nothing here throws.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
std::optional<FileInfo> statPath(const std::string& path, uint32_t* error = nullptr);

// Facts about `path` itself: a symbolic link is reported as kSymlink.
std::optional<FileInfo> lstatPath(const std::string& path, uint32_t* error = nullptr);

// Facts about the file open on `fd`.
std::optional<FileInfo> statDescriptor(int fd, uint32_t* error = nullptr);

// Whether something exists at `path` (a dangling link does not count).
bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);

// The size in bytes of the file at `path`, or nothing if it cannot be read.
std::optional<uint64_t> fileSize(const std::string& path);

// Opens `path` read-only and close-on-exec, refusing a symbolic link as the
// last component (error 5). On failure the result is invalid and `error` set.
UniqueFd openForReading(const std::string& path, uint32_t& error);

}  // namespace holm::platform

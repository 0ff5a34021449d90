// The parts of files and directories that are the same on every system:
// what is built on the status of a path, the walk down a directory chain,
// name patterns of enumeration, and how a failed open is reported.
#include <cerrno>
#include <string>
#include <string_view>

#include "common/path_parts.h"
#include "platform/directory_chain.h"
#include "platform/enumeration.h"
#include "platform/file_system.h"

namespace holm::platform {
namespace {

char foldAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The index after the UTF-8 character starting at `index`.
size_t nextCharacter(const std::string& text, size_t index) {
    ++index;
    while (index < text.size() && (static_cast<unsigned char>(text[index]) & 0xC0) == 0x80) {
        ++index;
    }
    return index;
}

// The number of UTF-8 characters in `text`.
size_t characterCount(std::string_view text) {
    size_t count = 0;
    for (char byte : text) {
        count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    }
    return count;
}

}  // namespace

bool pathExists(const std::string& path) {
    return statPath(path).ok();
}

bool isDirectory(const std::string& path) {
    auto info = statPath(path);
    return info && info->type == FileType::kDirectory;
}

bool isRegularFile(const std::string& path) {
    auto info = statPath(path);
    return info && info->type == FileType::kRegular;
}

Result<uint64_t> fileSize(const std::string& path) {
    auto info = statPath(path);
    if (!info) {
        return info.error();
    }
    return info->size;
}

Status walkDirectoryChain(const std::string& path, size_t start, std::string_view separators,
                          const std::function<Status(const std::string& name)>& step) {
    while (start < path.size()) {
        const size_t separator = path.find_first_of(separators, start);
        const size_t end = separator == std::string::npos ? path.size() : separator;
        const std::string name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            return Error::fromErrno(EINVAL);
        }
        if (Status stepped = step(name); !stepped) {
            return stepped;
        }
    }
    return {};
}

bool matchesPattern(const std::string& name, const std::string& pattern) {
    if (pattern == "*.*") {
        return true;
    }
    // Greedy matching that returns to the last '*' on a mismatch: linear in
    // practice, never recursive.
    size_t at = 0;
    size_t patternAt = 0;
    size_t afterStar = std::string::npos;
    size_t starMatchEnd = 0;
    while (at < name.size()) {
        if (patternAt < pattern.size() && pattern[patternAt] == '*') {
            afterStar = ++patternAt;
            starMatchEnd = at;
        } else if (patternAt < pattern.size() && pattern[patternAt] == '?') {
            ++patternAt;
            at = nextCharacter(name, at);
        } else if (patternAt < pattern.size() &&
                   foldAscii(pattern[patternAt]) == foldAscii(name[at])) {
            ++patternAt;
            ++at;
        } else if (afterStar != std::string::npos) {
            // Let the last '*' take one more character and try again.
            starMatchEnd = nextCharacter(name, starMatchEnd);
            at = starMatchEnd;
            patternAt = afterStar;
        } else {
            return false;
        }
    }
    while (patternAt < pattern.size() && pattern[patternAt] == '*') {
        ++patternAt;
    }
    return patternAt == pattern.size();
}

Result<std::vector<DirectoryEntry>> enumerate(const std::string& directory,
                                              const std::string& pattern) {
    return enumerateMatching(directory, [&](std::string_view name) {
        return matchesPattern(std::string(name), pattern);
    });
}

Result<std::vector<DirectoryEntry>> enumerateWithPrefix(const std::string& directory,
                                                        const std::string& prefix,
                                                        size_t suffixCharacters) {
    return enumerateMatching(directory, [&](std::string_view name) {
        return name.starts_with(prefix) &&
               characterCount(name.substr(prefix.size())) == suffixCharacters;
    });
}

Error openPathError(const std::string& path, const Error& error) {
    if (error.errnoValue() != ENOENT) {
        return error;
    }
    const std::string parent(common::directoryOf(path));
    return isDirectory(parent) ? error : Error::windows(WinError::kPathNotFound, ENOENT);
}

}  // namespace holm::platform

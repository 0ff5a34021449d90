#include "security/library_dependencies.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/io.h"

namespace holm::security {
namespace {

bool isForeignRunPathEntry(const std::string& entry, const DirectoryList& systemDirectories) {
    return entry.empty() || entry.front() != '/' || entry.find('$') != std::string::npos ||
           !isInSystemDirectory(entry, systemDirectories);
}

}  // namespace

bool MemoryBytes::read(uint64_t offset, void* out, size_t size) const {
    if (offset > bytes_.size() || size > bytes_.size() - offset) {
        return false;
    }
    std::memcpy(out, bytes_.data() + offset, size);
    return true;
}

bool DescriptorBytes::read(uint64_t offset, void* out, size_t size) const {
    if (offset > size_ || size > size_ - offset) {
        return false;
    }
    return platform::io::readFullAt(fd_, std::span(static_cast<uint8_t*>(out), size), offset).ok();
}

const DirectoryList& systemLibraryDirectories() {
    static const DirectoryList directories(std::begin(kSystemLibraryDirectories),
                                           std::end(kSystemLibraryDirectories));
    return directories;
}

std::vector<std::string> runPathEntries(const std::string& runPath) {
    std::vector<std::string> entries;
    size_t start = 0;
    for (;;) {
        const size_t colon = runPath.find(':', start);
        entries.push_back(runPath.substr(start, colon - start));
        if (colon == std::string::npos) {
            return entries;
        }
        start = colon + 1;
    }
}

bool isInSystemDirectory(std::string_view directory, const DirectoryList& systemDirectories) {
    while (directory.size() > 1 && directory.back() == '/') {
        directory.remove_suffix(1);
    }
    // "." and ".." would let a path inside a system directory leave it.
    for (size_t at = 0; at != std::string_view::npos;) {
        const size_t next = directory.find('/', at + 1);
        const auto part = directory.substr(
            at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1);
        if (part == "." || part == "..") {
            return false;
        }
        at = next;
    }
    for (std::string_view system : systemDirectories) {
        while (system.size() > 1 && system.back() == '/') {
            system.remove_suffix(1);
        }
        if (directory == system ||
            (directory.size() > system.size() && directory.starts_with(system) &&
             directory[system.size()] == '/')) {
            return true;
        }
    }
    return false;
}

std::string quotedName(std::string_view name) {
    constexpr size_t kMaxQuoted = 200;
    constexpr char kHex[] = "0123456789abcdef";
    std::string text = "\"";
    for (size_t i = 0; i < name.size() && i < kMaxQuoted; ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (byte < 0x20 || byte > 0x7e || byte == '"' || byte == '\\') {
            text += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
        } else {
            text += static_cast<char>(byte);
        }
    }
    return text + (name.size() > kMaxQuoted ? "\"..." : "\"");
}

std::optional<std::string> requestRefusal(const LibraryRequests& requests,
                                          const DirectoryList& systemDirectories) {
    if (requests.inconsistency) {
        return requests.inconsistency;
    }
    if (!requests.audit.empty()) {
        return "it asks the loader for the audit library " + quotedName(requests.audit.front());
    }
    for (const auto* runPath : {&requests.runPath, &requests.rPath}) {
        if (!*runPath) {
            continue;
        }
        for (const std::string& entry : runPathEntries(**runPath)) {
            if (isForeignRunPathEntry(entry, systemDirectories)) {
                return "its run path names " + quotedName(entry) +
                       ", which is not a system library directory: dependencies are only loaded "
                       "from the system library directories";
            }
        }
    }
    const std::pair<const std::vector<std::string>*, const char*> kinds[] = {
        {&requests.needed, "dependency"},
        {&requests.filters, "filter library"},
        {&requests.auxiliary, "auxiliary library"},
    };
    for (const auto& [names, kind] : kinds) {
        for (const std::string& name : *names) {
            if (name.find('/') != std::string::npos) {
                return std::string("it names its ") + kind + " " + quotedName(name) +
                       " by path: dependencies are only loaded from the system library "
                       "directories";
            }
            if (name.empty() || name.find('$') != std::string::npos) {
                return std::string("it names its ") + kind + " " + quotedName(name) +
                       ", which the loader would rewrite: dependencies are named plainly";
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string> dependencyRefusal(const LibraryBytes& library,
                                             const DirectoryList& systemDirectories) {
    const auto requests = readLibraryRequests(library);
    if (!requests) {
        return requests.error();
    }
    return requestRefusal(*requests, systemDirectories);
}

std::optional<std::string> dependencyRefusal(int fd, uint64_t size,
                                             const DirectoryList& systemDirectories) {
    return dependencyRefusal(DescriptorBytes(fd, size), systemDirectories);
}

std::optional<std::string> dependencyRefusal(std::span<const std::byte> library,
                                             const DirectoryList& systemDirectories) {
    return dependencyRefusal(MemoryBytes(library), systemDirectories);
}

}  // namespace holm::security

#include "platform/named_event.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "common/utf16.h"
#include "platform/io.h"

namespace holm::platform {

namespace {

constexpr size_t kMaxEncodedName = 200;

bool trustedOwner(const struct stat& info) {
    return info.st_uid == ::geteuid() || info.st_uid == 0;
}

bool keptAsIs(char16_t unit) {
    return (unit >= u'a' && unit <= u'z') || (unit >= u'0' && unit <= u'9') || unit == u'_' ||
           unit == u'-';
}

void appendHex(std::string& out, uint32_t value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out.push_back(kDigits[(value >> shift) & 0xF]);
    }
}

void appendUtf8(std::string& out, uint32_t code) {
    if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        return out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
}

std::string escape(const std::u16string& folded) {
    std::string out;
    for (size_t i = 0; i < folded.size(); ++i) {
        const char16_t unit = folded[i];
        if (keptAsIs(unit)) {
            out.push_back(static_cast<char>(unit));
        } else if (unit < 0x80) {
            out.push_back('%');
            appendHex(out, unit, 2);
        } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < folded.size() &&
                   folded[i + 1] >= 0xDC00 && folded[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800u) << 10) + (folded[i + 1] - 0xDC00u));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            out += "%u";
            appendHex(out, unit, 4);
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

uint64_t fnv1a(const std::u16string& text, uint64_t basis) {
    uint64_t hash = basis;
    for (char16_t unit : text) {
        for (int byte = 0; byte < 2; ++byte) {
            hash ^= static_cast<uint8_t>(unit >> (8 * byte));
            hash *= 0x100000001B3ull;
        }
    }
    return hash;
}

UniqueFd openDirectory(const std::string& directory, bool create) {
    if (create && ::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
        return UniqueFd();
    }
    io::OpenOptions options;
    options.directory = true;
    Result<UniqueFd> fd = io::open(directory, options);
    if (!fd) {
        errno = fd.error().errnoValue();
        return UniqueFd();
    }
    struct stat info {};
    if (::fstat(fd->get(), &info) != 0) {
        return UniqueFd();
    }
    if (!trustedOwner(info) || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        errno = EPERM;
        return UniqueFd();
    }
    return std::move(fd.value());
}

bool isTrustedFifo(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return false;
    }
    if (!S_ISFIFO(info.st_mode) || !trustedOwner(info)) {
        errno = EPERM;
        return false;
    }
    return true;
}

UniqueFd openFifo(int directoryFd, const std::string& name, io::Access access) {
    io::OpenOptions options;
    options.access = access;
    options.nonBlocking = true;
    Result<UniqueFd> fd = io::openAt(directoryFd, name, options);
    if (!fd) {
        errno = fd.error().errnoValue();
        return UniqueFd();
    }
    return std::move(fd.value());
}

}  // namespace

std::string runtimeDirectory() {
    const char* configured = std::getenv("HOLM_RUNTIME_DIR");
    return configured != nullptr && *configured != '\0' ? configured : "/run/holm";
}

std::string namedEventFileName(std::u16string_view name) {
    if (name.empty() || name.size() > kMaxNamedEventName) {
        return {};
    }
    const std::u16string folded = text::toLowerAscii(name);
    std::string escaped = escape(folded);
    if (escaped.size() <= kMaxEncodedName) {
        return "e." + escaped;
    }
    std::string hashed = "h.";
    const uint64_t first = fnv1a(folded, 0xCBF29CE484222325ull);
    const uint64_t second = fnv1a(folded, 0x84222325CBF29CE4ull);
    appendHex(hashed, static_cast<uint32_t>(first >> 32), 8);
    appendHex(hashed, static_cast<uint32_t>(first), 8);
    appendHex(hashed, static_cast<uint32_t>(second >> 32), 8);
    appendHex(hashed, static_cast<uint32_t>(second), 8);
    return hashed;
}

UniqueFd openNamedEventWatch(const std::string& directory, const std::string& fileName) {
    UniqueFd directoryFd = openDirectory(directory, true);
    if (!directoryFd.valid()) {
        return UniqueFd();
    }
    if (::mkfifoat(directoryFd.get(), fileName.c_str(), 0600) != 0 && errno != EEXIST) {
        return UniqueFd();
    }
    UniqueFd fd = openFifo(directoryFd.get(), fileName, io::Access::ReadWrite);
    if (!fd.valid() || !isTrustedFifo(fd.get())) {
        return UniqueFd();
    }
    return fd;
}

void drainNamedEvent(int watchFd) {
    uint8_t buffer[256];
    // Ends at EAGAIN: the FIFO is empty (it never reaches an end, since the
    // watcher holds it open for writing too).
    while (io::readSome(watchFd, buffer).valueOr(0) > 0) {
    }
}

NamedEventSet setNamedEvent(const std::string& directory, const std::string& fileName) {
    UniqueFd directoryFd = openDirectory(directory, false);
    if (!directoryFd.valid()) {
        return errno == ENOENT ? NamedEventSet::NoWatcher : NamedEventSet::Failed;
    }
    UniqueFd fd = openFifo(directoryFd.get(), fileName, io::Access::Write);
    if (!fd.valid()) {
        return errno == ENOENT || errno == ENXIO ? NamedEventSet::NoWatcher : NamedEventSet::Failed;
    }
    if (!isTrustedFifo(fd.get())) {
        return NamedEventSet::Failed;
    }
    const uint8_t one[1] = {1};
    const Status written = io::writeFull(fd.get(), one);
    // A full FIFO (EAGAIN) holds wake-ups its watcher has not drained yet:
    // the event is set already.
    if (written.ok() || written.error().errnoValue() == EAGAIN) {
        return NamedEventSet::Set;
    }
    errno = written.error().errnoValue();
    return NamedEventSet::Failed;
}

}  // namespace holm::platform

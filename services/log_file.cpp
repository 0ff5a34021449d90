#include "services/log_file.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <map>
#include <vector>

#include "common/utf16.h"
#include "platform/file_system.h"
#include "platform/io.h"

namespace holm::services {
namespace {

namespace io = platform::io;
using platform::Error;
using platform::Status;

constexpr char kByteOrderMark[] = "\xFF\xFE";
constexpr size_t kByteOrderMarkSize = 2;
constexpr size_t kCopyChunk = 64 * 1024;
constexpr int kBackupCount = 4;

io::OpenOptions appendOptions(bool create) {
    io::OpenOptions options;
    options.access = io::Access::ReadWrite;  // read for the byte-order mark and trimming
    options.append = true;
    options.nonBlocking = true;  // a FIFO at the path never hangs a commit
    options.create = create;
    options.exclusive = create;
    return options;
}

void appendUtf16Le(std::string& out, std::u16string_view text) {
    if constexpr (std::endian::native == std::endian::little) {
        out.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
        return;
    }
    for (const char16_t unit : text) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    }
}

bool isErrno(const Error& error, int value) {
    return error.errnoValue() == value;
}

}  // namespace

std::shared_ptr<LogFile> LogFile::forPath(const std::string& path) {
    static std::mutex registryLock;
    static std::map<std::string, std::weak_ptr<LogFile>> registry;
    std::lock_guard hold(registryLock);
    std::erase_if(registry, [](const auto& entry) { return entry.second.expired(); });
    auto& slot = registry[path];
    if (auto existing = slot.lock()) {
        return existing;
    }
    auto made = std::make_shared<LogFile>(path);
    slot = made;
    return made;
}

LogFile::~LogFile() {
    if (rolloverPending()) {
        (void)rollover();  // best effort: the destructor has no one to tell
    }
    closeFile();
}

void LogFile::setLimits(int64_t maximumSize, bool backup) {
    std::lock_guard hold(lock_);
    maximumSize_ = maximumSize;
    backup_ = backup;
}

Status LogFile::open() {
    std::lock_guard hold(lock_);
    return ensureCurrent();
}

bool LogFile::rolloverPending() const {
    std::lock_guard hold(lock_);
    return rolloverPending_;
}

// The open descriptor serves as long as the path names that very file (not
// through a link); anything else means the file was deleted, renamed or
// replaced from outside, and the path is opened again.
Status LogFile::ensureCurrent() {
    if (fd_.valid()) {
        auto& monitor = platform::FileChangeMonitor::process();
        if (!monitor.changed(watch_, watchSeen_) && !verifyName_) {
            return {};
        }
        verifyName_ = false;
        const auto info = platform::lstatPath(path_);
        if (info && info->type == platform::FileType::kRegular &&
            platform::FileIdentity{info->device, info->inode} == identity_) {
            return {};
        }
        closeFile();
    }
    return reopen();
}

void LogFile::closeFile() {
    platform::FileChangeMonitor::process().unwatch(watch_);
    watch_ = platform::FileChangeMonitor::kNotWatched;
    fd_.reset();
}

Status LogFile::reopen() {
    // Someone may create or remove the file between the two opens; a few
    // rounds settle it.
    for (int round = 0; round < 3; ++round) {
        auto opened = io::open(path_, appendOptions(false));
        if (opened) {
            return adopt(std::move(*opened));
        }
        if (!isErrno(opened.error(), ENOENT)) {
            return opened.error();
        }
        auto created = io::open(path_, appendOptions(true));
        if (created) {
            return adopt(std::move(*created));
        }
        if (!isErrno(created.error(), EEXIST)) {
            return platform::openPathError(path_, created.error());
        }
    }
    return Error::fromErrno(EAGAIN);
}

Status LogFile::adopt(platform::UniqueFd fd) {
    const auto info = platform::statDescriptor(fd.get());
    if (!info) {
        return info.error();
    }
    if (info->type != platform::FileType::kRegular) {
        return Error::fromErrno(EACCES).because("not a regular file");
    }
    size_ = info->size;
    if (size_ == 0) {
        // A new file, or one emptied from outside: UTF-16 from its first byte.
        if (auto written = io::writeFull(fd.get(), std::string_view(kByteOrderMark, 2)); !written) {
            return written.error();
        }
        size_ = kByteOrderMarkSize;
        unicode_ = true;
    } else {
        uint8_t mark[kByteOrderMarkSize] = {};
        const auto read = io::readAt(fd.get(), mark, 0);
        if (!read) {
            return read.error();
        }
        unicode_ = *read == kByteOrderMarkSize && mark[0] == 0xFF && mark[1] == 0xFE;
    }
    identity_ = {info->device, info->inode};
    fd_ = std::move(fd);
    // The name may have moved on between the open and the watch: the next
    // commit looks at it once more.
    auto& monitor = platform::FileChangeMonitor::process();
    watch_ = monitor.watch(fd_.get());
    (void)monitor.changed(watch_, watchSeen_);
    verifyName_ = true;
    return {};
}

std::string LogFile::encode(std::span<const std::u16string> lines) const {
    std::string bytes;
    for (const auto& line : lines) {
        if (unicode_) {
            appendUtf16Le(bytes, line);
            appendUtf16Le(bytes, u"\r\n");
        } else {
            bytes += text::utf16ToUtf8(line);
            bytes += "\r\n";
        }
    }
    return bytes;
}

LogFile::WriteResult LogFile::write(std::span<const std::u16string> lines) {
    std::lock_guard hold(lock_);
    if (auto current = ensureCurrent(); !current) {
        return {current, false};
    }
    const std::string bytes = encode(lines);
    if (auto written = io::writeFull(fd_.get(), bytes); !written) {
        undoPartialWrite(size_, bytes.size());
        return {written, false};
    }
    size_ += bytes.size();
    return {{}, sizeCheckDue()};
}

// A write that failed part-way (disk full, file size limit) would leave a
// torn entry; the file is cut back to where it was, provided its size shows
// only this write's part beyond that point.
void LogFile::undoPartialWrite(uint64_t sizeBefore, size_t length) {
    const auto info = platform::statDescriptor(fd_.get());
    if (!info) {
        return;
    }
    if (info->size > sizeBefore && info->size < sizeBefore + length) {
        (void)platform::truncateDescriptor(fd_.get(), sizeBefore);  // the write's error is reported
    }
}

bool LogFile::sizeCheckDue() {
    if (maximumSize_ <= 0 || ++commitCounter_ < kCheckInterval) {
        return false;
    }
    commitCounter_ = 0;
    if (const auto info = platform::statDescriptor(fd_.get())) {
        size_ = info->size;
    }
    if (size_ <= static_cast<uint64_t>(maximumSize_) || rolloverPending_) {
        return false;
    }
    rolloverPending_ = true;
    return true;
}

Status LogFile::rollover() {
    std::lock_guard hold(lock_);
    rolloverPending_ = false;
    if (maximumSize_ <= 0) {
        return {};
    }
    if (auto current = ensureCurrent(); !current) {
        return current;
    }
    const auto info = platform::statDescriptor(fd_.get());
    if (!info) {
        return info.error();
    }
    if (info->size <= static_cast<uint64_t>(maximumSize_)) {
        return {};
    }
    return backup_ ? rotateBackups() : trim(info->size);
}

// "<directory><base><nnnn><extension>", the extension being the last dot
// and what follows it in the file's own name.
std::string LogFile::backupName(int number) const {
    const size_t nameStart = path_.find_last_of('/') + 1;  // npos + 1 == 0
    size_t dot = path_.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart) {
        dot = path_.size();
    }
    char digits[8];
    std::snprintf(digits, sizeof digits, "%.4d", number);
    return path_.substr(0, dot) + digits + path_.substr(dot);
}

Status LogFile::rotateBackups() {
    for (int number = kBackupCount - 1; number >= 1; --number) {
        const std::string older = backupName(number);
        if (platform::lstatPath(older)) {
            // A backup that cannot move stays; the newer ones still rotate.
            (void)platform::renameReplacing(older, backupName(number + 1));
        }
    }
    if (auto moved = platform::renameReplacing(path_, backupName(1)); !moved) {
        return moved;
    }
    closeFile();
    return reopen();
}

Status LogFile::trim(uint64_t size) {
    const auto maximum = static_cast<uint64_t>(maximumSize_);
    const uint64_t keep = maximum - maximum / 10;
    const size_t unit = unicode_ ? 2 : 1;
    const uint64_t headerSize = unicode_ ? kByteOrderMarkSize : 0;
    uint64_t start = size > keep ? size - keep : 0;
    start = std::max(start, headerSize);
    start -= (start - headerSize) % unit;  // a whole UTF-16 unit
    // The first line that starts at or after `start`.
    std::vector<uint8_t> buffer(kCopyChunk);
    uint64_t from = size;
    for (uint64_t at = start; at < size && from == size;) {
        const auto read = io::readAt(fd_.get(), buffer, at);
        if (!read) {
            return read.error();
        }
        if (*read < unit) {
            break;
        }
        const size_t usable = *read - *read % unit;
        for (size_t i = 0; i < usable; i += unit) {
            if (buffer[i] == '\n' && (unit == 1 || buffer[i + 1] == 0)) {
                from = at + i + unit;
                break;
            }
        }
        at += usable;
    }

    const std::string temporary = path_ + ".tmp";
    (void)platform::removeFile(temporary);  // a leftover of an earlier attempt
    io::OpenOptions options;
    options.access = io::Access::Write;
    options.create = true;
    options.exclusive = true;
    auto out = io::open(temporary, options);
    if (!out) {
        return out.error();
    }
    auto copied = [&]() -> Status {
        if (unicode_) {
            if (auto mark = io::writeFull(out->get(), std::string_view(kByteOrderMark, 2)); !mark) {
                return mark;
            }
        }
        for (uint64_t at = from; at < size;) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, size - at));
            const auto read = io::readAt(fd_.get(), std::span(buffer.data(), want), at);
            if (!read) {
                return read.error();
            }
            if (*read == 0) {
                break;
            }
            if (auto written = io::writeFull(out->get(), std::span(buffer.data(), *read));
                !written) {
                return written;
            }
            at += *read;
        }
        if (auto synced = io::sync(out->get()); !synced) {
            return synced;
        }
        return platform::renameReplacing(temporary, path_);
    }();
    if (!copied) {
        (void)platform::removeFile(temporary);  // the log stays as it was
        return copied;
    }
    closeFile();
    return reopen();
}

}  // namespace holm::services

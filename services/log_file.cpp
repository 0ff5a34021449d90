#include "services/log_file.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <map>
#include <vector>

#include "common/utf16.h"
#include "platform/atomic_file.h"
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
// The kernel completes a write page by page and checks for a fatal signal
// before each page: a process killed inside a write that spans a page
// boundary leaves the write's first pages only, cut at a boundary.
constexpr uint64_t kPageSize = 4096;
// "<start> <end>" of the entry write in progress, kept with the file while a
// write that spans a page boundary is under way.
constexpr char kWriteMark[] = "user.holm.log.write";

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
    static common::Mutex registryLock;
    static std::map<std::string, std::weak_ptr<LogFile>> registry;
    common::MutexLock hold(registryLock);
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
    common::MutexLock hold(lock_);
    maximumSize_ = maximumSize;
    backup_ = backup;
}

Status LogFile::open() {
    common::MutexLock hold(lock_);
    return ensureCurrent();
}

bool LogFile::rolloverPending() const {
    common::MutexLock hold(lock_);
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
        repairCutWrite(fd.get());
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

// A writer killed inside an entry write that spanned a page boundary left
// the entry's first pages: the file ends on a boundary inside the range its
// mark names. That part of an entry whose commit never returned is cut off,
// so that the file holds whole entries only.
void LogFile::repairCutWrite(int fd) {
    if (!marksSupported_) {
        return;
    }
    const auto mark = io::getAttribute(fd, kWriteMark);
    if (!mark) {
        marksSupported_ = !isErrno(mark.error(), ENOTSUP);
        return;
    }
    unsigned long long start = 0;
    unsigned long long end = 0;
    const bool cut = std::sscanf(mark->c_str(), "%llu %llu", &start, &end) == 2 &&
                     size_ % kPageSize == 0 && start < size_ && size_ < end &&
                     start >= (unicode_ ? kByteOrderMarkSize : 0);
    if (cut && platform::truncateDescriptor(fd, start)) {
        size_ = start;
    }
    (void)io::removeAttribute(fd, kWriteMark);
}

// A commit first compares the file's length with what this writer knows of
// it: shorter means it was truncated from outside (logrotate's copytruncate).
// An emptied file starts again with its byte-order mark; one that holds data
// already is appended in the encoding its first bytes show. An entry of
// ours that landed in the emptied file before its mark (the truncation came
// between this check and the write) gets the mark put in front of it.
Status LogFile::noticeTruncation() {
    const auto info = platform::statDescriptor(fd_.get());
    if (!info) {
        return info.error();
    }
    if (info->size >= size_) {
        size_ = info->size;
        return {};
    }
    size_ = info->size;
    if (size_ == 0) {
        if (auto written = io::writeFull(fd_.get(), std::string_view(kByteOrderMark, 2));
            !written) {
            return written;
        }
        size_ = kByteOrderMarkSize;
        unicode_ = true;
        return {};
    }
    uint8_t mark[kByteOrderMarkSize] = {};
    const auto read = io::readAt(fd_.get(), mark, 0);
    if (!read) {
        return read.error();
    }
    const bool marked = *read == kByteOrderMarkSize && mark[0] == 0xFF && mark[1] == 0xFE;
    if (!marked && unicode_ && size_ <= lastWriteSize_ && size_ % 2 == 0 && mark[1] == 0) {
        return replaceFrom(0, size_);
    }
    unicode_ = marked;
    return {};
}

// A UTF-16 file takes the block's own bytes on a little-endian machine; no
// copy is made.
std::string_view LogFile::encode(std::u16string_view block) {
    if (unicode_ && std::endian::native == std::endian::little) {
        return {reinterpret_cast<const char*>(block.data()), block.size() * sizeof(char16_t)};
    }
    encoded_.clear();
    if (unicode_) {
        appendUtf16Le(encoded_, block);
    } else {
        common::appendUtf16ToUtf8(encoded_, block);
    }
    return encoded_;
}

LogFile::WriteResult LogFile::write(std::u16string_view block) {
    common::MutexLock hold(lock_);
    if (auto current = ensureCurrent(); !current) {
        return {current, false};
    }
    if (auto length = noticeTruncation(); !length) {
        return {length, false};
    }
    const std::string_view bytes = encode(block);
    // A write within one page lands whole or not at all, even when the
    // process is killed; one that spans pages is marked first (see
    // repairCutWrite).
    const bool spansPages =
        !bytes.empty() && size_ / kPageSize != (size_ + bytes.size() - 1) / kPageSize;
    const bool marked = spansPages && markWrite(size_, size_ + bytes.size());
    if (auto written = io::writeFull(fd_.get(), bytes); !written) {
        undoPartialWrite(size_, bytes.size());
        return {written, false};
    }
    size_ += bytes.size();
    lastWriteSize_ = bytes.size();
    if (marked) {
        (void)io::removeAttribute(fd_.get(), kWriteMark);
    }
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

bool LogFile::markWrite(uint64_t start, uint64_t end) {
    if (!marksSupported_) {
        return false;
    }
    char text[48];
    const int length =
        std::snprintf(text, sizeof text, "%llu %llu", static_cast<unsigned long long>(start),
                      static_cast<unsigned long long>(end));
    const auto set = io::setAttribute(fd_.get(), kWriteMark, std::string_view(text, length));
    if (!set && isErrno(set.error(), ENOTSUP)) {
        marksSupported_ = false;
    }
    return set.ok();
}

bool LogFile::sizeCheckDue() {
    if (maximumSize_ <= 0 || ++commitCounter_ < kCheckInterval) {
        return false;
    }
    commitCounter_ = 0;
    if (size_ <= static_cast<uint64_t>(maximumSize_) || rolloverPending_) {
        return false;
    }
    rolloverPending_ = true;
    return true;
}

Status LogFile::rollover() {
    common::MutexLock hold(lock_);
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

    return replaceFrom(from, size);
}

// The replacement file, made next to the log so that the rename stays within
// one file system.
platform::Result<platform::UniqueFd> LogFile::createReplacement(
    const std::string& temporary) const {
    (void)platform::removeFile(temporary);  // a leftover of a writer killed while trimming
    io::OpenOptions options;
    options.access = io::Access::Write;
    options.create = true;
    options.exclusive = true;
    auto created = io::open(temporary, options);
    if (!created) {
        return created;
    }
    // The cut log keeps the owner, group and mode of the log it replaces.
    if (auto kept = platform::copyOwnerAndMode(fd_.get(), created->get()); !kept) {
        (void)platform::removeFile(temporary);
        return kept.error();
    }
    return created;
}

// Replaces the log by its bytes [from, size), behind the byte-order mark in
// a UTF-16 log: written to "<path>.tmp", flushed to the device, then renamed
// over the log in one step. A writer killed at any point leaves the old log
// whole (and perhaps the temporary, removed next time) or the new one whole;
// entries committed meanwhile wait for the lock, then go to the new file.
Status LogFile::replaceFrom(uint64_t from, uint64_t size) {
    const std::string temporary = path_ + ".tmp";
    auto out = createReplacement(temporary);
    if (!out) {
        return out.error();
    }
    std::vector<uint8_t> buffer(kCopyChunk);
    // Read here, under the lock: the lambda below is analysed on its own.
    const bool unicode = unicode_;
    const int source = fd_.get();
    auto copied = [&]() -> Status {
        if (unicode) {
            if (auto mark = io::writeFull(out->get(), std::string_view(kByteOrderMark, 2)); !mark) {
                return mark;
            }
        }
        for (uint64_t at = from; at < size;) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, size - at));
            const auto read = io::readAt(source, std::span(buffer.data(), want), at);
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
        return io::sync(out->get());
    }();
    if (copied) {
        copied = platform::renameReplacing(temporary, path_);
        if (!copied && copied.windowsError() == platform::WinError::kAccessDenied) {
            // The classic rename of Windows refuses to replace a file that
            // is open, this writer's own descriptor included. Released, the
            // rename is made once more; it fails again only while another
            // program holds the log.
            closeFile();
            copied = platform::renameReplacing(temporary, path_);
        }
    }
    if (!copied) {
        (void)platform::removeFile(temporary);  // the log stays as it was
        if (!fd_.valid()) {
            (void)reopen();  // later entries go on in the log as it was
        }
        return copied;
    }
    closeFile();
    return reopen();
}

}  // namespace holm::services

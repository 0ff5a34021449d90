// The writer of one report file, shared by every ILog opened on that path in
// this process.
//
// One writer per path means one descriptor, one lock and one rollover: no
// writer locks another out, two rollovers never race, and entries of all
// users appear whole and in the order their writes took the lock.
//
// A commit is one write to a descriptor kept open (appending), after a check
// that the path still names the open file: a file deleted, replaced or
// renamed from outside (logrotate) is recreated, or the new one opened, at
// the next commit. The check looks the name up only when the kernel watch on
// the open file reports a change (platform/file_change_monitor.h). The
// length of the open file is compared with what this writer wrote: a file
// cut short from outside (copytruncate) starts again with its byte-order
// mark. So a commit costs one write, one non-blocking read and one fstat.
// When a write returns, the entry is in the file.
//
// A kill inside a write that spans a page boundary can leave the write's
// first pages (the kernel stops at a page boundary for a fatal signal): such
// a write is announced in an extended attribute of the file first, and the
// next writer that opens the file cuts the torn entry off.
//
// Files: a new or empty file is written as UTF-16LE with a byte-order mark; an
// existing file without the mark is written as UTF-8. Every line ends in
// CR LF. A symbolic link, a directory or anything but a regular file at the
// path is refused (never followed).
//
// Size control: every 1000 writes (and at the first) the size is compared
// with the maximum; above it the caller is told to schedule rollover(),
// which it runs on another thread. Entries written meanwhile go to the file
// (they are in it when their write returns); the rollover holds the lock
// while it renames, so each entry lands exactly once, in order, in the log
// or its backup. Backup mode moves the file to "<base>0001<ext>" (older
// backups up to 0004, the fourth is replaced) and starts a new file; trim
// mode keeps the newest ~90 % of the maximum from a line start, written to
// "<path>.tmp", flushed, and renamed over the log in one step (the log never
// goes missing; a failed rename or a kill before it leaves it whole). Where
// the system refuses to rename over an open file (the classic rename of
// Windows), the writer lets go of its descriptor for the rename.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/mutex.h"
#include "platform/file_change_monitor.h"
#include "platform/file_identity.h"
#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::services {

class LogFile {
  public:
    // Size checks happen every this many writes.
    static constexpr int32_t kCheckInterval = 1000;

    // The process's writer for `path` (the text as given), made on first use
    // and kept while anyone holds it.
    static std::shared_ptr<LogFile> forPath(const std::string& path);

    explicit LogFile(std::string path) : path_(std::move(path)) {}
    // Runs a rollover that is still pending, so that nothing scheduled is lost.
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    const std::string& path() const { return path_; }

    // The maximum size in bytes (0 or less: no size control) and the mode;
    // the last setting given by any user holds.
    void setLimits(int64_t maximumSize, bool backup) EXCLUDES(lock_);

    // Opens the file, creating it if missing.
    platform::Status open() EXCLUDES(lock_);

    struct WriteResult {
        platform::Status status;
        // This write's size check found the file too large and no rollover
        // was pending: the caller schedules rollover().
        bool rolloverDue = false;
    };
    // Writes whole lines, each ending in CR LF, as one block: in the file's
    // encoding, straight from `block` when the file is UTF-16. A failed write
    // leaves no part of the block in the file.
    WriteResult write(std::u16string_view block) EXCLUDES(lock_);

    // Brings the file under its maximum (if it is above it) and clears the
    // pending mark. A failure leaves the file as it was.
    platform::Status rollover() EXCLUDES(lock_);
    bool rolloverPending() const EXCLUDES(lock_);

  private:
    platform::Status ensureCurrent() REQUIRES(lock_);
    platform::Status reopen() REQUIRES(lock_);
    platform::Status adopt(platform::UniqueFd fd) REQUIRES(lock_);
    void closeFile() REQUIRES(lock_);
    std::string_view encode(std::u16string_view block) REQUIRES(lock_);
    void undoPartialWrite(uint64_t sizeBefore, size_t length) REQUIRES(lock_);
    bool sizeCheckDue() REQUIRES(lock_);
    platform::Status rotateBackups() REQUIRES(lock_);
    platform::Status trim(uint64_t size) REQUIRES(lock_);
    platform::Status replaceFrom(uint64_t from, uint64_t size) REQUIRES(lock_);
    platform::Result<platform::UniqueFd> createReplacement(const std::string& temporary) const
        REQUIRES(lock_);
    platform::Status noticeTruncation() REQUIRES(lock_);
    void repairCutWrite(int fd) REQUIRES(lock_);
    bool markWrite(uint64_t start, uint64_t end) REQUIRES(lock_);
    std::string backupName(int number) const REQUIRES(lock_);

    const std::string path_;
    mutable common::Mutex lock_;
    platform::UniqueFd fd_ GUARDED_BY(lock_);
    // Tells when the name must be looked at again (see ensureCurrent).
    int32_t watch_ GUARDED_BY(lock_) = platform::FileChangeMonitor::kNotWatched;
    uint64_t watchSeen_ GUARDED_BY(lock_) = 0;
    bool verifyName_ GUARDED_BY(lock_) = true;
    platform::FileIdentity identity_ GUARDED_BY(lock_);
    bool unicode_ GUARDED_BY(lock_) = true;
    uint64_t size_ GUARDED_BY(lock_) = 0;  // the file's size as this writer last knew it
    uint64_t lastWriteSize_ GUARDED_BY(lock_) = 0;
    bool marksSupported_ GUARDED_BY(lock_) = true;
    int64_t maximumSize_ GUARDED_BY(lock_) = 0;
    bool backup_ GUARDED_BY(lock_) = false;
    int32_t commitCounter_ GUARDED_BY(lock_) = kCheckInterval;
    std::string encoded_ GUARDED_BY(lock_);  // a block in UTF-8 (or byte-swapped), reused
    bool rolloverPending_ GUARDED_BY(lock_) = false;
};

}  // namespace holm::services

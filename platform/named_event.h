// Named events visible across processes ("Global\<name>"): in the runtime
// directory, one FIFO per watcher of a name, "<file name>.<pid>.<n>", so
// that every watching process (every watcher) sees each set.
//
// The canonical file name folds A-Z and escapes every other ASCII character
// except a-z, 0-9, '_' and '-' as %XX, so '/', '.', '..' and control
// characters can never form a path; other characters are kept as UTF-8 (an
// unpaired surrogate as %uXXXX). A name whose escaped form would not fit a
// file name is named by two 64-bit hashes of the folded name instead; two
// such names that collide share their watchers, so a set of one also wakes
// the other (a spurious delivery, never a lost one). A canonical name has
// no '.' after its two-character prefix, so "<file name>." starts the
// watchers of that name and of no other.
//
// Access: the runtime directory belongs to the effective user or root, is
// searchable and listable by everyone and writable by its owner only; a
// watcher's FIFO is readable by its owner only and writable by everyone, so
// any local process may set an event and only the watcher reads it.
//
// A watcher makes its FIFO under a temporary name, opens it read-write and
// non-blocking (so it never sees an end of file) and only then gives it its
// final name: a final name always has a reader while its watcher lives.
// Ending the watch removes the FIFO before closing it. A watcher that died
// leaves a FIFO without a reader: a setter that meets one removes it when
// it may (opening it for writing fails with ENXIO), and the first watch a
// process opens in a directory sweeps every such FIFO and the temporary
// FIFOs of processes that are gone.
//
// A setter lists the directory, opens each watcher's FIFO write-only and
// non-blocking and writes one byte; a full FIFO holds wake-ups its watcher
// has not drained yet and counts as set. A watcher drains at most one FIFO's
// capacity per wake, so a flood of sets costs bounded work on both sides.
// Every open refuses symbolic links and checks with fstat that it got a
// FIFO of the effective user or root.
#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::platform {

// Longest accepted event name in UTF-16 units (128 with "Global\" and the
// terminator).
inline constexpr size_t kMaxNamedEventName = 120;

// HOLM_RUNTIME_DIR, else /run/holm.
std::string runtimeDirectory();

// The canonical file name of an event name; empty for a name that is empty
// or longer than kMaxNamedEventName.
std::string namedEventFileName(std::u16string_view name);

// The event name a canonical file name stands for, A-Z folded: for a system
// whose event objects have names of their own (on Windows, "Global\<name>").
// Empty for a name given by its hashes, or text that is no canonical name.
std::u16string namedEventNameOf(std::string_view fileName);

// One watcher's FIFO of one event; removed from the directory when the
// object ends.
class NamedEventWatch {
  public:
    NamedEventWatch() = default;
    ~NamedEventWatch();
    NamedEventWatch(NamedEventWatch&& other) noexcept = default;
    NamedEventWatch& operator=(NamedEventWatch&& other) noexcept;
    NamedEventWatch(const NamedEventWatch&) = delete;
    NamedEventWatch& operator=(const NamedEventWatch&) = delete;

    // Opens a watch of `fileName` in `directory` (creating the directory
    // where missing). The error says why it failed (EPERM for an untrusted
    // directory or file, EMFILE/ENFILE/ENOSPC for a limit).
    static Result<NamedEventWatch> open(const std::string& directory, const std::string& fileName);

    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }

  private:
    void remove();

    UniqueFd fd_;
    // Removed by path: the directory is its owner's alone, and one watch
    // holds one descriptor.
    std::string path_;
};

// Reads what is pending on a watch descriptor (at most a FIFO's capacity),
// so it waits again.
void drainNamedEvent(int watchFd);

enum class NamedEventSet { Set, NoWatcher, Failed };

// Sets the event `fileName` of `directory`: one byte into each watcher's
// FIFO. Set when at least one watcher was set; NoWatcher when nobody
// watches it; Failed with errno set when no watcher could be set.
NamedEventSet setNamedEvent(const std::string& directory, const std::string& fileName);

}  // namespace holm::platform

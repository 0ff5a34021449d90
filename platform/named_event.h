// Named events visible across processes ("Global\<name>"): a FIFO per
// canonical name in the runtime directory.
//
// The canonical file name folds A-Z and escapes every other ASCII character
// except a-z, 0-9, '_' and '-' as %XX, so '/', '.', '..' and control
// characters can never form a path; other characters are kept as UTF-8 (an
// unpaired surrogate as %uXXXX). A name whose escaped form would not fit a
// file name is named by two 64-bit hashes of the folded name instead; two
// such names that collide share one FIFO, so a set of one also wakes the
// other (a spurious delivery, never a lost one).
//
// A watcher opens its FIFO read-write and non-blocking (so it never sees an
// end of file) and drains it on wake; a setter opens it write-only and
// non-blocking (no watcher: nothing to set) and writes one byte. Every open
// refuses symbolic links and checks with fstat that it got a FIFO of the
// effective user or root; the runtime directory must belong to the effective
// user or root and not be writable by group or others.
#pragma once

#include <string>
#include <string_view>

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

// Opens (creating the runtime directory and the FIFO where missing) the FIFO
// `fileName` of `directory` for watching. Invalid on failure; errno tells
// why (EPERM for an untrusted directory or file).
UniqueFd openNamedEventWatch(const std::string& directory, const std::string& fileName);

// Reads everything pending on a watch descriptor, so it waits again.
void drainNamedEvent(int watchFd);

enum class NamedEventSet { Set, NoWatcher, Failed };

// Sets the event `fileName` of `directory`: one byte into its FIFO. NoWatcher
// when no process watches it (no FIFO, or no reader); Failed with errno set
// otherwise.
NamedEventSet setNamedEvent(const std::string& directory, const std::string& fileName);

}  // namespace holm::platform

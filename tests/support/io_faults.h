// Fault injection into the I/O module's system-call table.
//
// While an InjectedFaults object lives, the I/O module's reads, writes,
// opens, flushes, renames, directory creations and removals go through it: a test makes a chosen
// call fail with an errno, lets writes come up short, or has every call interrupted once before it
// runs. Everything not planned goes to the real call. One object at a time; the test's own threads
// do no I/O while it is armed.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/system_calls.h"

namespace holm::test {

class InjectedFaults {
  public:
    InjectedFaults() : scope_(table()) { plan() = Plan{}; }
    ~InjectedFaults() { plan() = Plan{}; }
    InjectedFaults(const InjectedFaults&) = delete;
    InjectedFaults& operator=(const InjectedFaults&) = delete;

    // The next calls fail with `error`, after `skip` calls that pass.
    void failWrite(int error, int skip = 0) { plan().write = {error, skip}; }
    void failFsync(int error, int skip = 0) { plan().fsync = {error, skip}; }
    void failRename(int error, int skip = 0) { plan().rename = {error, skip}; }
    void failRead(int error, int skip = 0) { plan().read = {error, skip}; }
    void failMakeDirectory(int error, int skip = 0) { plan().makeDirectory = {error, skip}; }
    void failRemove(int error, int skip = 0) { plan().remove = {error, skip}; }
    // Opens of names starting with `prefix` fail with `error`.
    void failOpen(int error, std::string prefix) {
        plan().open = {error, 0};
        plan().openPrefix = std::move(prefix);
    }
    // Every write moves at most `bytes` bytes (0: no limit).
    void limitWrites(size_t bytes) { plan().writeLimit = bytes; }
    // Every call is first interrupted once (EINTR) before it runs.
    void interruptEveryCall() { plan().interrupt = true; }
    // Writes that reached the file system (whole or short).
    int writesDone() const { return plan().writesDone; }

  private:
    struct Failure {
        int error = 0;
        int skip = 0;
    };
    struct Plan {
        Failure write, fsync, rename, read, open, makeDirectory, remove;
        std::string openPrefix;
        size_t writeLimit = 0;
        bool interrupt = false;
        bool interruptNext = true;
        int writesDone = 0;
    };

    static Plan& plan() {
        static Plan instance;
        return instance;
    }

    // True (with errno set) when this call is to fail.
    static bool injected(Failure& failure) {
        Plan& p = plan();
        if (p.interrupt && p.interruptNext) {
            p.interruptNext = false;
            errno = EINTR;
            return true;
        }
        p.interruptNext = true;
        if (failure.error == 0) {
            return false;
        }
        if (failure.skip > 0) {
            --failure.skip;
            return false;
        }
        errno = failure.error;
        return true;
    }

    static const holm::platform::io::SystemCalls& table() {
        using holm::platform::io::realSystemCalls;
        static const holm::platform::io::SystemCalls calls{
            [](int directory, const char* name, int flags, auto mode) {
                const std::string& prefix = plan().openPrefix;
                const bool chosen = std::strncmp(name, prefix.c_str(), prefix.size()) == 0;
                Failure none;
                return injected(chosen ? plan().open : none)
                           ? -1
                           : realSystemCalls().openat(directory, name, flags, mode);
            },
            [](int fd, void* buffer, size_t size) -> ssize_t {
                return injected(plan().read) ? -1 : realSystemCalls().read(fd, buffer, size);
            },
            [](int fd, void* buffer, size_t size, auto offset) -> ssize_t {
                return injected(plan().read) ? -1
                                             : realSystemCalls().pread(fd, buffer, size, offset);
            },
            [](int fd, const void* buffer, size_t size) -> ssize_t {
                if (injected(plan().write)) {
                    return -1;
                }
                const size_t limit = plan().writeLimit;
                ++plan().writesDone;
                return realSystemCalls().write(fd, buffer, limit && size > limit ? limit : size);
            },
            [](int fd) { return injected(plan().fsync) ? -1 : realSystemCalls().fsync(fd); },
            [](int from, const char* old, int to, const char* target, unsigned flags) {
                return injected(plan().rename)
                           ? -1
                           : realSystemCalls().renameat2(from, old, to, target, flags);
            },
            [](int directory, const char* name, auto mode) {
                return injected(plan().makeDirectory)
                           ? -1
                           : realSystemCalls().mkdirat(directory, name, mode);
            },
            [](int directory, const char* name, int flags) {
                return injected(plan().remove) ? -1
                                               : realSystemCalls().unlinkat(directory, name, flags);
            },
        };
        return calls;
    }

    holm::platform::io::ScopedSystemCalls scope_;
};

}  // namespace holm::test

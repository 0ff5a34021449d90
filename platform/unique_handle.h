// One RAII owner for every kind of operating-system handle.
//
// A traits type names the handle's type, its invalid value and how to close
// it; `UniqueHandle<Traits>` then owns one such handle, closes it exactly once
// and can only be moved. File descriptors, library handles, watches and
// processes all use this template rather than a class of their own.
#pragma once

#include <utility>

namespace holm::platform {

template <typename Traits>
class UniqueHandle {
  public:
    using Handle = typename Traits::Handle;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without closing.
    Handle release() noexcept { return std::exchange(handle_, Traits::invalid()); }

    // Closes the current handle (if any) and takes ownership of `handle`.
    void reset(Handle handle = Traits::invalid()) noexcept {
        Handle old = std::exchange(handle_, handle);
        if (old != Traits::invalid()) {
            Traits::close(old);
        }
    }

  private:
    Handle handle_ = Traits::invalid();
};

// File descriptors.
struct FdTraits {
    using Handle = int;
    static constexpr int invalid() noexcept { return -1; }
    static void close(int fd) noexcept;
};
using UniqueFd = UniqueHandle<FdTraits>;

}  // namespace holm::platform

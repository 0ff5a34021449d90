// The one result type of fallible operations: a value or an error.
//
// `Result<T>` holds either a T or an `Error`; `Status` (a `Result<void>`) is
// the result of an operation that yields nothing but can fail. Both types are
// [[nodiscard]], so the compiler refuses a call whose outcome is dropped
// without an explicit `(void)` and a comment saying why it may be ignored.
//
// An `Error` keeps the errno value the system reported and the Windows error
// number the operation stands for. The Windows number is derived through the
// one errno mapping (errors.h) unless the operation names a more precise one
// (a registry value whose file is corrupt is 1009, whatever errno said).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "platform/errors.h"

namespace holm::platform {

class Error {
  public:
    // An operating-system error; its Windows number comes from the mapping.
    static Error fromErrno(int error) noexcept {
        return Error(error, windowsErrorFromErrno(error));
    }
    // An error with a Windows number chosen by the operation, keeping the
    // errno value that led to it (0 when none did).
    static Error windows(uint32_t code, int error = 0) noexcept { return Error(error, code); }

    // The same error, described by `reason` (a static text) where the errno
    // value alone would not say what was refused ("not a regular file").
    Error because(const char* reason) const noexcept {
        Error described = *this;
        described.reason_ = reason;
        return described;
    }

    int errnoValue() const noexcept { return errno_; }
    uint32_t windowsError() const noexcept { return windows_; }
    // The reason given, else the system's text for the errno value (with
    // "(error <n>)" when the Windows number is not the one that value maps
    // to), else "error <n>" for a Windows number that has neither.
    std::string message() const;

    bool operator==(const Error&) const = default;

  private:
    Error(int error, uint32_t code) noexcept : errno_(error), windows_(code) {}

    int errno_;
    uint32_t windows_;
    const char* reason_ = nullptr;
};

// The error of the last failed system call of this thread.
Error lastSystemError() noexcept;

// `E` is the error type: `Error` for every operation whose failure is an
// errno value or a Windows number, or an operation's own refusal type where
// the error says more than that (the signature checks' reason).
template <typename T, typename E = Error>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    // The value; only meaningful when ok().
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // The value, or `fallback` for a caller to whom an error means the same.
    T valueOr(T fallback) const& { return ok() ? value() : std::move(fallback); }
    T valueOr(T fallback) && { return ok() ? std::move(value()) : std::move(fallback); }

    // The error; only meaningful when !ok().
    const E& error() const { return std::get<1>(state_); }

  private:
    std::variant<T, E> state_;
};

// An operation that yields nothing but can fail with an error of its own type.
template <typename E>
class [[nodiscard]] Result<void, E> {
  public:
    Result() = default;
    Result(E error) : error_(std::move(error)) {}

    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    // The error; only meaningful when !ok().
    const E& error() const { return *error_; }

  private:
    std::optional<E> error_;
};

template <>
class [[nodiscard]] Result<void, Error> {
  public:
    Result() noexcept = default;
    Result(Error error) noexcept : error_(error), failed_(true) {}

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    const Error& error() const noexcept { return error_; }
    // kSuccess (0) or the Windows number of the error: for the interfaces
    // that report Windows numbers.
    uint32_t windowsError() const noexcept {
        return failed_ ? error_.windowsError() : WinError::kSuccess;
    }

  private:
    Error error_ = Error::windows(WinError::kSuccess);
    bool failed_ = false;
};

using Status = Result<void>;

}  // namespace holm::platform

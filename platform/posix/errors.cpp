#include "platform/errors.h"

#include <cerrno>

#include "platform/result.h"

namespace holm::platform {
namespace {

thread_local uint32_t threadLastError = WinError::kSuccess;

}  // namespace

uint32_t lastError() noexcept {
    return threadLastError;
}

void setLastError(uint32_t error) noexcept {
    threadLastError = error;
}

uint32_t setLastErrorFromErrno() noexcept {
    uint32_t error = windowsErrorFromErrno(errno);
    setLastError(error);
    return error;
}

Error lastSystemError() noexcept {
    return Error::fromErrno(errno);
}

}  // namespace holm::platform

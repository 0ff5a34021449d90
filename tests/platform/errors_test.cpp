#include "platform/errors.h"

#include <cerrno>
#include <future>
#include <thread>

#include <gtest/gtest.h>

namespace holm::platform {
namespace {

TEST(ErrorsTest, MapsCommonErrnoValues) {
    EXPECT_EQ(windowsErrorFromErrno(0), WinError::kSuccess);
    EXPECT_EQ(windowsErrorFromErrno(ENOENT), 2u);
    EXPECT_EQ(windowsErrorFromErrno(ENOTDIR), 3u);
    EXPECT_EQ(windowsErrorFromErrno(EACCES), 5u);
    EXPECT_EQ(windowsErrorFromErrno(ENOMEM), 8u);
    EXPECT_EQ(windowsErrorFromErrno(EEXIST), 80u);
    EXPECT_EQ(windowsErrorFromErrno(EINVAL), 87u);
    EXPECT_EQ(windowsErrorFromErrno(ENOTEMPTY), 145u);
    EXPECT_EQ(windowsErrorFromErrno(ENAMETOOLONG), 206u);
}

TEST(ErrorsTest, UnknownErrnoIsAFailureNotSuccess) {
    EXPECT_EQ(windowsErrorFromErrno(-1), WinError::kGenFailure);
    EXPECT_EQ(windowsErrorFromErrno(100000), WinError::kGenFailure);
}

TEST(ErrorsTest, LastErrorIsPerThread) {
    errno = ENOENT;
    EXPECT_EQ(setLastErrorFromErrno(), WinError::kFileNotFound);
    EXPECT_EQ(lastError(), WinError::kFileNotFound);

    std::promise<uint32_t> otherThreadStart;
    std::thread([&] {
        uint32_t initial = lastError();
        setLastError(WinError::kAccessDenied);
        otherThreadStart.set_value(initial);
    }).join();
    EXPECT_EQ(otherThreadStart.get_future().get(), WinError::kSuccess);
    EXPECT_EQ(lastError(), WinError::kFileNotFound);
    setLastError(WinError::kSuccess);
}

}  // namespace
}  // namespace holm::platform

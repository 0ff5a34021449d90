#include "platform/errors.h"

#include <cerrno>
#include <cstring>
#include <future>
#include <iterator>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/result.h"

namespace holm::platform {
namespace {

// Whatever the mapping says for a value, a failure never reads as success.
TEST(ErrorsTest, NoFailureBecomesSuccess) {
    EXPECT_EQ(windowsErrorFromErrno(0), WinError::kSuccess);
    for (int err = 1; err < 4096; ++err) {
        EXPECT_NE(windowsErrorFromErrno(err), WinError::kSuccess) << "errno " << err;
    }
    EXPECT_EQ(windowsErrorFromErrno(-1), WinError::kGenFailure);
    EXPECT_EQ(windowsErrorFromErrno(100000), WinError::kGenFailure);
}

// Callers act differently on these (a missing file is created, a missing
// directory is not, a refusal is reported, an existing name is reused, a
// full disk ends a write): they must not collapse into one number.
TEST(ErrorsTest, FailuresCallersTellApartStayApart) {
    const int distinct[] = {ENOENT, ENOTDIR, EACCES, EEXIST, ENOSPC, EINVAL, ENOMEM, ENOTEMPTY};
    std::set<uint32_t> codes;
    for (int err : distinct) {
        codes.insert(windowsErrorFromErrno(err));
    }
    EXPECT_EQ(codes.size(), std::size(distinct));
}

// A number the mapping has no errno value for (a busy pipe reads as EIO)
// stays visible in the text a failure is reported with.
TEST(ErrorsTest, AMessageNamesTheSystemsNumberWhereItsErrnoTextWouldHideIt) {
    EXPECT_EQ(Error::fromErrno(ENOENT).message(), std::strerror(ENOENT));
    EXPECT_EQ(Error::windows(231, EIO).message(), std::string(std::strerror(EIO)) + " (error 231)");
    EXPECT_EQ(Error::windows(1009).message(), "error 1009");
    EXPECT_EQ(Error::windows(5, EACCES).because("not a regular file").message(),
              "not a regular file");
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

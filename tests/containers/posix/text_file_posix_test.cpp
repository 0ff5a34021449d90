// Text files: what is no regular file on POSIX systems is refused.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "containers/text_file.h"
#include "support/test_support.h"

namespace {

TEST(TextFilePosixTest, AFifoIsRefusedWithoutHanging) {
    constexpr uint32_t kAccessDenied = 5;
    holm::test::TempDir dir;
    const auto fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    holm::containers::CTxtFileImpl file;
    EXPECT_FALSE(file.open(fifo.u16string().c_str(), false));
    EXPECT_EQ(file.getLastError(), kAccessDenied);
}

}  // namespace

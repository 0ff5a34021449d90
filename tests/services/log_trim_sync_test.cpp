// A trimmed log replaces the old one only once its data is on the disk: a
// trim whose copy cannot be flushed fails and leaves the log as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/utf16.h"
#include "services/log_impl.h"
#include "support/io_faults.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

std::string trimLogBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::unique_ptr<holm::services::CHlmPlgLogImpl> openTrimmedLog(const fs::path& path,
                                                               int32_t maxSize) {
    auto log = std::make_unique<holm::services::CHlmPlgLogImpl>(
        nullptr, holm::services::CHlmPlgLogImpl::AsyncHolder{nullptr, [](HlmPlg::IAsync*) {}});
    EXPECT_TRUE(log->open(holm::common::utf8ToUtf16(path.string()).c_str(), 2, maxSize, false));
    return log;
}

TEST(LogTrimSync, AFailedFlushOfTheTrimmedCopyFailsTheTrimAndKeepsTheLogWhole) {
    holm::test::TempDir dir;
    const fs::path path = dir.path() / "report.log";
    {
        auto filler = openTrimmedLog(path, 0);
        for (int n = 0; n < 100; ++n) {
            filler->log(1, 0, 0, u"line %d padding to forty bytes", n);
        }
    }
    auto log = openTrimmedLog(path, 1000);
    const std::string before = trimLogBytes(path);
    ASSERT_GT(before.size(), 1000u);
    {
        holm::test::InjectedFaults faults;
        faults.failFsync(EIO);
        log->logText(1, 0, 0, u"checked");
    }
    EXPECT_NE(log->getLastError(), 0u) << "the failed trim was reported as success";
    const std::string after = trimLogBytes(path);
    EXPECT_TRUE(after.starts_with(before)) << "the log lost lines whose copy never reached disk";
    EXPECT_GT(after.size(), before.size()) << "the entry itself is still written";
    EXPECT_FALSE(fs::exists(dir.path() / "report.log.tmp"));
}

}  // namespace

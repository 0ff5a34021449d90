// Helpers of the report-log tests: reading a log back, and a fixture with a
// log path in a fresh directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/utf16.h"
#include "services/log_impl.h"
#include "support/test_support.h"

namespace holm::test {

namespace fs = std::filesystem;
using services::CHlmPlgLogImpl;

inline std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// The lines of a UTF-16 log (checked to start with the byte-order mark),
// without their CR LF, as UTF-8.
inline std::vector<std::string> logLines(const fs::path& path) {
    const std::string bytes = readBytes(path);
    EXPECT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE") << path;
    std::u16string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                             static_cast<uint8_t>(bytes[i + 1]) << 8));
    }
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(u"\r\n", start)) != std::u16string::npos; start = end + 2) {
        lines.push_back(common::utf16ToUtf8(text.substr(start, end - start)));
    }
    EXPECT_EQ(start, text.size()) << "a torn line at the end of " << path;
    return lines;
}

inline CHlmPlgLogImpl::AsyncHolder noAsync() {
    return {nullptr, [](HlmPlg::IAsync*) {}};
}

inline std::u16string wide(const fs::path& path) {
    return common::utf8ToUtf16(path.string());
}

class LogTest : public ::testing::Test {
  protected:
    std::unique_ptr<CHlmPlgLogImpl> openLog(const fs::path& path, int32_t level = 2,
                                            int32_t maxSize = 0, bool backup = false) {
        auto log = std::make_unique<CHlmPlgLogImpl>(nullptr, noAsync());
        EXPECT_TRUE(log->open(wide(path).c_str(), level, maxSize, backup));
        return log;
    }
    // Lines of `count` entries "<tag> <n>" of roughly 40 bytes each.
    static void fill(CHlmPlgLogImpl& log, const char16_t* tag, int count) {
        for (int n = 0; n < count; ++n) {
            log.log(1, 0, 0, u"%s %d padding to forty bytes", tag, n);
        }
    }

    TempDir dir_;
    fs::path path_ = dir_.path() / "report.log";
};

}  // namespace holm::test

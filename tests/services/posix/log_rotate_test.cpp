// The report writer beside the real logrotate, in both of its modes, while a
// thread commits entries: the live file stays in one encoding with its
// byte-order mark, holds whole entries in order and never one twice; with
// `create` no entry is lost across the rotated files. (With `copytruncate`
// entries written between logrotate's copy and its truncation are lost, and
// its copy may end in a torn line: only the live file is checked.)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/utf16.h"
#include "platform/spawn.h"
#include "services/log_impl.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using holm::services::CHlmPlgLogImpl;

constexpr int kRotations = 3;

std::string logrotateProgram() {
    for (const char* candidate : {"/usr/sbin/logrotate", "/sbin/logrotate", "/usr/bin/logrotate"}) {
        if (fs::exists(candidate)) {
            return candidate;
        }
    }
    return {};
}

// The entries "<n> a" / "<n> b" of a UTF-16 file with its byte-order mark, in
// file order; any other content fails the test.
std::vector<uint64_t> rotatedEntries(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const std::string content = bytes.str();
    EXPECT_TRUE(content.starts_with("\xFF\xFE")) << path << " has no byte-order mark";
    EXPECT_EQ(content.size() % 2, 0u) << path;
    std::u16string text;
    for (size_t i = 2; i + 1 < content.size(); i += 2) {
        text.push_back(static_cast<char16_t>(static_cast<uint8_t>(content[i]) |
                                             static_cast<uint8_t>(content[i + 1]) << 8));
    }
    EXPECT_TRUE(text.empty() || text.ends_with(u"\r\n")) << "a torn line in " << path;
    std::vector<uint64_t> entries;
    std::istringstream lines(holm::common::utf16ToUtf8(text));
    bool open = false;
    for (std::string line; std::getline(lines, line);) {
        unsigned long long step = 0;
        char part = 0;
        if (std::sscanf(line.c_str(), "%llu %c", &step, &part) != 2 ||
            line != std::to_string(step) + " " + part + "\r") {
            ADD_FAILURE() << "not an entry line in " << path << ": " << line;
            return entries;
        }
        if (part == 'a') {
            EXPECT_FALSE(open) << "entry " << step << " follows a torn one in " << path;
            entries.push_back(step);
            open = true;
        } else {
            EXPECT_TRUE(open && entries.back() == step)
                << "a torn entry " << step << " in " << path;
            open = false;
        }
    }
    EXPECT_FALSE(open) << "a torn entry at the end of " << path;
    return entries;
}

void rotateWhileWriting(const std::string& mode) {
    const std::string logrotate = logrotateProgram();
    if (logrotate.empty()) {
        GTEST_SKIP() << "logrotate is not installed";
    }
    holm::test::TempDir dir;
    const fs::path path = dir.path() / "report.log";
    const fs::path config = dir.write(
        "logrotate.conf", "\"" + path.string() + "\" {\n  " + mode +
                              "\n  rotate 10\n  nocompress\n  missingok\n  notifempty\n}\n");
    const std::string state = (dir.path() / "logrotate.state").string();

    CHlmPlgLogImpl log(nullptr, CHlmPlgLogImpl::AsyncHolder(nullptr, [](HlmPlg::IAsync*) {}));
    ASSERT_TRUE(log.open(holm::common::utf8ToUtf16(path.string()).c_str(), 1, 0, false));
    std::atomic<uint64_t> committed{0};
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> failures{0};
    std::thread writer([&] {
        for (uint64_t step = 0; !stop.load(); ++step) {
            HlmPlg::ILogEvent* event = log.createEvent();
            event->addLine(1, 0, 0, u"%llu a", static_cast<unsigned long long>(step));
            event->addLine(1, 0, 0, u"%llu b", static_cast<unsigned long long>(step));
            log.commitEvent(&event);
            if (log.getLastError() != 0) {
                failures.fetch_add(1);
            }
            committed.store(step + 1);
            committed.notify_all();
        }
    });
    auto waitForCommits = [&](uint64_t count) {
        for (uint64_t seen = committed.load(); seen < count; seen = committed.load()) {
            committed.wait(seen);
        }
    };
    for (int rotation = 0; rotation < kRotations; ++rotation) {
        waitForCommits(committed.load() + 200);
        const auto result = holm::platform::runProcess(
            {logrotate, "-f", "-s", state, config.string()}, {}, std::chrono::seconds(60));
        ASSERT_EQ(result.exitCode, 0) << result.output;
    }
    // Commits after the last rotation: the writer has seen it.
    waitForCommits(committed.load() + 200);
    stop.store(true);
    writer.join();
    EXPECT_EQ(failures.load(), 0u);
    const uint64_t total = committed.load();

    const std::vector<uint64_t> live = rotatedEntries(path);
    ASSERT_FALSE(live.empty());
    EXPECT_EQ(live.back(), total - 1) << "the last entry is in the live file";
    for (size_t i = 1; i < live.size(); ++i) {
        ASSERT_GT(live[i], live[i - 1]) << "entries out of order or repeated in the live file";
    }
    if (mode != "create") {
        return;
    }
    // Every file the log's entries went to: the live file, report.log.1 to
    // .3, and any "report.log-<date>.backup". logrotate moves a file it
    // finds already at the name it is about to create (the writer, having
    // seen the rename, made the file again first) to such a backup rather
    // than overwrite it; the entries in it are kept, not lost.
    std::vector<uint64_t> all;
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("report.log")) {
            const auto entries = rotatedEntries(entry.path());
            all.insert(all.end(), entries.begin(), entries.end());
            ++files;
        }
    }
    EXPECT_GE(files, static_cast<size_t>(kRotations) + 1);
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), total) << "entries lost or repeated across the rotated files";
    for (uint64_t step = 0; step < total; ++step) {
        ASSERT_EQ(all[step], step);
    }
}

TEST(LogRotate, CopytruncateKeepsTheLiveFileInOneEncodingWithWholeEntries) {
    rotateWhileWriting("copytruncate");
}

TEST(LogRotate, CreateLosesNothingAndEveryFileHasItsMark) {
    rotateWhileWriting("create");
}

}  // namespace

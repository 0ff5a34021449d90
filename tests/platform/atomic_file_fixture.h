// A file to replace, "settings.ini" holding "old", alone in a fresh
// directory: the fixture of the atomic replacement's cases on every system
// (tests/platform/io_test.cpp) and of those that hold on Linux only
// (tests/platform/posix/io_test.cpp), which share one suite.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <iterator>
#include <string>

#include "support/test_support.h"

namespace holm::platform::io {

class AtomicFileTest : public ::testing::Test {
  protected:
    void SetUp() override { path_ = holm::test::utf8(temp_.write("settings.ini", "old")); }

    // The number of entries in the directory: one unless something was left.
    size_t entries() const {
        return static_cast<size_t>(
            std::distance(std::filesystem::directory_iterator(temp_.path()), {}));
    }
    static std::string contentOf(const std::filesystem::path& path) {
        return holm::test::bytesOf(path);
    }

    holm::test::TempDir temp_;
    std::string path_;
};

}  // namespace holm::platform::io

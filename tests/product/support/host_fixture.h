// avholm run as a child process against the fake core
// (tests/product/fake_core/), in a product directory laid out per test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "support/test_support.h"

namespace holm::test {

namespace fs = std::filesystem;
using platform::ChildProcess;
using platform::ProcessResult;

inline constexpr std::chrono::seconds kHostDeadline{60};

// A file of the host's own directory as the host names it: the directory of
// its program, spelt with '/' on either system, and the file's name.
inline std::string hostSpelling(const fs::path& path) {
    const std::u8string text = path.generic_u8string();
    return {text.begin(), text.end()};
}

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(product_);
        fs::copy_file(HOLM_AVHOLM_PROGRAM, program_);
        installCore(HOLM_FAKE_CORE);
    }

    // Copies a core library into the product directory and signs the copy.
    void installCore(const fs::path& library) {
        fs::copy_file(library, core_, fs::copy_options::overwrite_existing);
        const ProcessResult signing = holm::platform::runProcess(
            {HOLM_SIGN_PROGRAM, "sign", "--key", HOLM_DEVELOPMENT_KEY, utf8(core_)}, {},
            kHostDeadline);
        ASSERT_EQ(signing.exitCode, 0) << signing.output;
    }

    std::vector<std::string> command(const std::vector<std::string>& arguments) const {
        std::vector<std::string> line{utf8(program_)};
        line.insert(line.end(), arguments.begin(), arguments.end());
        return line;
    }

    std::vector<std::string> environment(const std::string& productDirectory = "") const {
        std::vector<std::string> variables{"HOLM_FAKE_CORE_RECORD=" + utf8(record_),
                                           "HOLM_PRODUCT_DIR=" + productDirectory};
        variables.insert(variables.end(), extraEnvironment_.begin(), extraEnvironment_.end());
        return variables;
    }

    ProcessResult run(const std::vector<std::string>& arguments,
                      const std::string& productDirectory = "") const {
        return holm::platform::runProcess(command(arguments), environment(productDirectory),
                                          kHostDeadline);
    }

    // Starts the host and waits until the fake core runs.
    ChildProcess startRunning(const std::vector<std::string>& arguments) const {
        auto started = ChildProcess::start(command(arguments), environment());
        EXPECT_TRUE(started.ok()) << started.error().message();
        ChildProcess host = started ? std::move(*started) : ChildProcess();
        EXPECT_TRUE(host.waitForOutput("FakeCore: running", kHostDeadline)) << host.output();
        return host;
    }

    // The fake core's calls, one per line; empty when it was never called.
    std::string calls() const {
        std::ifstream in(record_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    holm::test::TempDir temp_;
    fs::path product_ = temp_.path() / "product";
    fs::path program_ = product_ / ("avholm" HOLM_TEST_PROGRAM_SUFFIX);
    fs::path core_ = product_ / ("libholmcore" HOLM_TEST_PLUGIN_SUFFIX);
    fs::path record_ = temp_.path() / "calls.txt";
    std::vector<std::string> extraEnvironment_;
};

}  // namespace holm::test

#include "platform/process_info.h"

#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_system.h"

namespace holm::platform {
namespace {

TEST(ProcessInfoTest, CommandLineIsTheProgramsArguments) {
    EXPECT_EQ(commandLineArguments(), ::testing::internal::GetArgvs());
    std::string path = executablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(std::filesystem::path(path).is_absolute()) << path;
    EXPECT_TRUE(isRegularFile(path));
}

TEST(ProcessInfoTest, JoinsArgumentsByTheWindowsQuotingRules) {
    struct Case {
        std::vector<std::string> arguments;
        std::string line;
    };
    const Case cases[] = {
        {{"prog", "a b", "c"}, R"(prog "a b" c)"},
        {{"prog", ""}, R"(prog "")"},
        {{"prog", R"(say "hi")"}, R"(prog "say \"hi\"")"},
        {{"prog", R"(C:\dir\)"}, R"(prog C:\dir\)"},   // no quotes: backslashes as they are
        {{"prog", R"(a dir\)"}, R"(prog "a dir\\")"},  // doubled before the closing quote
        {{"prog", R"(a\"b)"}, R"(prog "a\\\"b")"},     // doubled and escaped before a quote
        {{"prog", R"(a\b c)"}, R"(prog "a\b c")"},     // alone: literal
        {{"/opt/my prog/x", "/switch"}, R"("/opt/my prog/x" /switch)"},
        {{}, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(commandLineText(c.arguments), c.line);
    }
}

TEST(ProcessInfoTest, ThreadsHaveTheirOwnIds) {
    uint32_t mine = currentThreadId();
    uint32_t other = std::async(std::launch::async, [] { return currentThreadId(); }).get();
    EXPECT_NE(mine, other);
    EXPECT_NE(currentProcessId(), 0u);
}

}  // namespace
}  // namespace holm::platform

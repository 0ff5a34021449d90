#include <gtest/gtest.h>

#include "product/host/host_options.h"

namespace {

using holm::product::host::parseArguments;

TEST(HostOptionsTest, OwnOptionsAnywhereTheFirstOtherArgumentIsTheList) {
    const auto parsed = parseArguments(
        {"avholm", "--shared", "guard", "list.xml", "/a", "--run-for", "3", "-b", "--unknown"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.sharedName, "guard");
    EXPECT_EQ(parsed.options.pluginList, "list.xml");
    EXPECT_EQ(parsed.options.runFor, std::chrono::seconds(3));
    EXPECT_EQ(parsed.options.coreArguments,
              (std::vector<std::string>{"avholm", "/a", "-b", "--unknown"}));
    EXPECT_FALSE(parsed.options.help);
    EXPECT_EQ(parsed.options.stopLimit, holm::product::host::kDefaultStopLimit);
    EXPECT_EQ(parseArguments({"avholm", "--stop-limit", "2"}).options.stopLimit,
              std::chrono::seconds(2));
    EXPECT_EQ(parseArguments({"avholm", "list.xml", "--log", "/var/log/h.log"}).options.logFile,
              "/var/log/h.log");
}

TEST(HostOptionsTest, DoubleDashEndsOwnOptions) {
    const auto parsed = parseArguments({"avholm", "--", "--help", "--shared"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.pluginList, "--help");
    EXPECT_EQ(parsed.options.coreArguments, (std::vector<std::string>{"avholm", "--shared"}));
    EXPECT_FALSE(parsed.options.help);

    EXPECT_FALSE(parseArguments({"avholm"}).options.pluginList);
    EXPECT_TRUE(parseArguments({"avholm", "--help"}).options.help);
}

TEST(HostOptionsTest, BadOptionValuesAreUsageErrors) {
    for (const auto& line : std::vector<std::vector<std::string>>{
             {"avholm", "--shared"},
             {"avholm", "--shared", ""},
             {"avholm", "--log"},
             {"avholm", "--log", ""},
             {"avholm", "--run-for"},
             {"avholm", "--run-for", "-1"},
             {"avholm", "--run-for", "1.5"},
             {"avholm", "--run-for", "99999999999999999999999"},
             {"avholm", "--run-for", "999999999999"},
             {"avholm", "--stop-limit"},
             {"avholm", "--stop-limit", "0"},
             {"avholm", "--stop-limit", "x"},
             {"avholm", "--bogus"},
             {"avholm", "--bogus", "list.xml"},
         }) {
        EXPECT_NE(parseArguments(line).error, "") << line.back();
    }
}

TEST(HostOptionsTest, InlineListPrefixIsCaseInsensitive) {
    EXPECT_TRUE(holm::product::host::isInlineList("@XMLFILE:"));
    EXPECT_TRUE(holm::product::host::isInlineList("@xmlFile:<list/>"));
    EXPECT_FALSE(holm::product::host::isInlineList("@XMLFILE"));
    EXPECT_FALSE(holm::product::host::isInlineList("plugins.xml"));
}

}  // namespace

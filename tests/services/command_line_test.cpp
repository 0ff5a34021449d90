#include "services/command_line.h"

#include <gtest/gtest.h>

namespace {

using namespace holm::services;

TEST(CommandLine, ArgumentsBecomeSwitchesAndTheProgramStaysBare) {
    const char16_t* arguments[] = {u" /usr/sbin/avholm ", u"--test=all=demo", u"-seh", u"/x"};
    EXPECT_EQ(commandLineFromArguments(4, arguments), u"/usr/sbin/avholm /test=all=demo /seh /x");
    EXPECT_EQ(commandLineFromArguments(0, nullptr), u"");
}

TEST(CommandLine, SlashStartsASwitchOnlyAfterABlankOutsideQuotes) {
    auto parts = splitSwitches(u"/usr/sbin/avholm /install /path=/opt/dir /name=\"a /b\"");
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[0], u"/usr/sbin/avholm");
    EXPECT_EQ(parts[1], u"install");
    EXPECT_EQ(parts[2], u"path=/opt/dir");
    EXPECT_EQ(parts[3], u"name=\"a /b\"");
}

TEST(CommandLine, MatchingAndValues) {
    EXPECT_TRUE(switchMatches(u"install", u"INSTALL"));
    EXPECT_TRUE(switchMatches(u"path=C:\\dir", u"path"));
    EXPECT_TRUE(switchMatches(u"path more", u"path"));
    EXPECT_FALSE(switchMatches(u"pathname=x", u"path"));
    EXPECT_FALSE(switchMatches(u"pat", u"path"));

    EXPECT_EQ(switchValue(u"path=C:\\dir"), u"C:\\dir");
    EXPECT_EQ(switchValue(u"path= \" quoted value \" "), u"quoted value");
    EXPECT_EQ(switchValue(u"install"), u"");
    EXPECT_EQ(switchValue(u"test=all=demo"), u"all=demo");
    EXPECT_EQ(switchValue(u"unbalanced=\"abc"), u"\"abc");
}

TEST(CommandLine, InterfaceFollowsTheProcessText) {
    CommandLineHolder holder;
    CCmdLineImplEx cmdLine(holder);
    setProcessCommandLine(u"/opt/holm/avholm /install /path=/var/lib/holm /test=all");
    EXPECT_TRUE(cmdLine.hasSwitch(u"INSTALL"));
    EXPECT_EQ(std::u16string(cmdLine.getSwitchValue(u"path")), u"/var/lib/holm");
    EXPECT_EQ(std::u16string(cmdLine.getSwitchValue(u"install")), u"");
    EXPECT_FALSE(cmdLine.hasSwitch(u"seh"));

    setProcessCommandLine(u"avholm /seh");
    EXPECT_TRUE(cmdLine.hasSwitch(u"seh"));
    EXPECT_FALSE(cmdLine.hasSwitch(u"install"));
}

}  // namespace

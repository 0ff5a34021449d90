// The configuration updater: its command parser, the application of a
// command file to the configuration file and the program's exit codes.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/spawn.h"
#include "product/cfgupdate/update_commands.h"
#include "product/support/cfgupdate_fixture.h"
#include "support/io_faults.h"
#include "support/test_support.h"

namespace holm::product::cfgupdate {
namespace {

namespace fs = std::filesystem;
using fixture::CfgUpdateFileTest;
using fixture::commandFile;
using fixture::kOriginal;
using product::cfglib::IniDocument;

TEST(CfgUpdateCommandTest, ParsesTheThreeFormsAndRefusesMalformedOnes) {
    const auto set = parseCommand(u"HOLM:Level=a=b:c");
    ASSERT_TRUE(set);
    EXPECT_EQ(set->kind, Command::Kind::Set);
    EXPECT_EQ(set->section, u"HOLM");
    EXPECT_EQ(set->key, u"Level");
    EXPECT_EQ(set->value, u"a=b:c");  // the value runs to the end

    const auto indexed = parseCommand(u"HOLM:Path%d=/x");
    ASSERT_TRUE(indexed);
    EXPECT_EQ(indexed->kind, Command::Kind::SetIndexed);
    EXPECT_EQ(indexed->key, u"Path");

    const auto remove = parseCommand(u"HOLM:Old");
    ASSERT_TRUE(remove);
    EXPECT_EQ(remove->kind, Command::Kind::Remove);
    EXPECT_EQ(remove->key, u"Old");

    for (const char16_t* bad : {u"", u"no colon", u"HOLM:", u"HOLM: =v", u"HO\\LM:K=v", u":=v"}) {
        EXPECT_FALSE(parseCommand(bad));
    }
}

TEST(CfgUpdateCommandTest, CommandFilesAreReadInOrderToTheFirstGap) {
    EXPECT_EQ(readCommandTexts(commandFile({"A:x=1", "A:y=2"}) + "Cmd3=A:z=3\n"),
              (std::vector<std::u16string>{u"A:x=1", u"A:y=2"}));
    EXPECT_TRUE(readCommandTexts("[OTHER]\nCmd0=A:x=1\n").empty());
    EXPECT_TRUE(readCommandTexts(std::string("\xFF\xFE\x00", 3)).empty());
}

TEST(CfgUpdateCommandTest, AppliesSetIndexedAndRemoveKeepingEverythingElse) {
    IniDocument document = IniDocument::parse(kOriginal);
    const ApplyResult result =
        applyCommands(document, {u"HOLM:ReportingLevel=3", u"HOLM:Path%d=/b", u"HOLM:Path%d=/c",
                                 u"HOLM:Obsolete", u"HOLM:NeverThere", u"NEW:Key=  kept  "});
    ASSERT_EQ(result.exitCode, kExitApplied);
    EXPECT_EQ(document.serialize(),
              "; product settings\r\n[COMMON]\r\nTempDirectory = /var/tmp/holm/\r\n\r\n"
              "[HOLM]\r\nReportingLevel=3\r\nPath0=/a\r\nPath1=/b\r\nPath2=/c\r\n"
              "[NEW]\r\nKey=\"  kept  \"\r\n");
}

TEST(CfgUpdateCommandTest, TheFirstCommandThatCannotBeWrittenIsNamed) {
    for (const char16_t* bad : {u"S]x:K=v", u"S:[K=v", u"S:;K=v", u"malformed"}) {
        IniDocument document = IniDocument::parse(kOriginal);
        const ApplyResult result = applyCommands(document, {u"HOLM:ReportingLevel=3", bad});
        EXPECT_EQ(result.exitCode, kExitBadCommand);
        EXPECT_EQ(result.failedCommand, 1u);
    }
}

TEST(CfgUpdateCommandTest, CommandLineNamesExactlyOneCommandFile) {
    const auto argument = [](std::vector<const char*> argv) {
        return commandFileArgument(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_EQ(argument({"u", "/UPDATEINIBYFILE=/tmp/a b.tmp"}), "/tmp/a b.tmp");
    EXPECT_EQ(argument({"u", "/updateinibyfile=/x"}), "/x");
    EXPECT_FALSE(argument({"u"}));
    EXPECT_FALSE(argument({"u", "/UPDATEINIBYFILE="}));
    EXPECT_FALSE(argument({"u", "/UPDATEINIBYFILE=/x", "/UPDATEINIBYFILE=/y"}));
    EXPECT_FALSE(argument({"u", "/UPDATEINIBYFILE=/x", "extra"}));
}

TEST_F(CfgUpdateFileTest, EveryFailureLeavesTheConfigurationAsItWas) {
    EXPECT_EQ(updateConfiguration((dir_.path() / "missing").string(), config_.string()).exitCode,
              kExitCommandFileError);
    EXPECT_EQ(update({}).exitCode, kExitCommandFileError);
    const UpdateResult bad = update({"HOLM:ReportingLevel=9", "S]x:K=v"});
    EXPECT_EQ(bad.exitCode, kExitBadCommand);
    EXPECT_NE(bad.message.find("Cmd1"), std::string::npos) << bad.message;
    {
        holm::test::InjectedFaults faults;
        faults.failRename(EIO);
        EXPECT_EQ(update({"HOLM:ReportingLevel=9"}).exitCode, kExitConfigWriteError);
    }
    {
        holm::test::InjectedFaults faults;
        faults.failWrite(ENOSPC, 0);
        EXPECT_EQ(update({"HOLM:ReportingLevel=9"}).exitCode, kExitConfigWriteError);
    }
    EXPECT_EQ(holm::test::bytesOf(config_), kOriginal);

    const fs::path directory = dir_.path() / "adir";
    fs::create_directory(directory);
    std::ofstream(commands_, std::ios::trunc) << commandFile({"A:x=1"});
    EXPECT_EQ(updateConfiguration(commands_.string(), directory.string()).exitCode,
              kExitConfigReadError);
}

TEST_F(CfgUpdateFileTest, AMissingConfigurationFileIsCreated) {
    fs::remove(config_);
    ASSERT_EQ(update({"HOLM:Level=1"}).exitCode, kExitApplied);
    EXPECT_EQ(IniDocument::parse(holm::test::bytesOf(config_)).find(u"HOLM\\Level"), u"1");
}

#ifdef HOLM_CFGUPDATE_PROGRAM
TEST_F(CfgUpdateFileTest, TheProgramReportsItsOutcomeInItsExitCode) {
    const std::vector<std::string> environment{"HOLM_CONFIG_FILE=" + config_.string()};
    const auto run = [&](const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{HOLM_CFGUPDATE_PROGRAM};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return platform::runProcess(argv, environment, std::chrono::seconds(30));
    };
    EXPECT_EQ(run({}).exitCode, kExitUsage);
    std::ofstream(commands_, std::ios::trunc) << commandFile({"HOLM:ReportingLevel=9", "S]x:K=v"});
    const auto refused = run({"/UPDATEINIBYFILE=" + commands_.string()});
    EXPECT_EQ(refused.exitCode, kExitBadCommand);
    EXPECT_NE(refused.output.find("Cmd1"), std::string::npos) << refused.output;
    EXPECT_EQ(holm::test::bytesOf(config_), kOriginal);

    std::ofstream(commands_, std::ios::trunc) << commandFile({"HOLM:ReportingLevel=9"});
    EXPECT_EQ(run({"/UPDATEINIBYFILE=" + commands_.string()}).exitCode, kExitApplied);
    EXPECT_EQ(IniDocument::parse(holm::test::bytesOf(config_)).find(u"HOLM\\ReportingLevel"), u"9");
}
#endif

}  // namespace
}  // namespace holm::product::cfgupdate

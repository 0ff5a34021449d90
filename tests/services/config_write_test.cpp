// The configuration write service with a launcher that stands in for the
// updater: the commands it forms, the command file the updater would read,
// and commit's result and clean-up on every way a commit can go.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "common/utf16.h"
#include "platform/process_info.h"
#include "product/cfgupdate/update_commands.h"
#include "services/config_write.h"
#include "support/io_faults.h"
#include "support/signing_support.h"
#include "support/test_support.h"
#include "utilities/master_text_reader.h"
#include "utilities/product_settings.h"

namespace {

namespace fs = std::filesystem;
namespace util = Tandro::Utilities;
using holm::services::CCfgLibBinding;
using holm::services::CConfigStore;
using holm::services::CConfigWriteImpl;
using holm::services::UpdaterRun;
using Texts = std::vector<std::u16string>;

class UpdaterSettings : public util::IProductSettings {
  public:
    explicit UpdaterSettings(fs::path product) : product_(std::move(product)) {}
    std::u16string getProductRegistryKey() const override { return u"SOFTWARE\\Test"; }
    std::u16string getProductDirectory() const override { return directory(); }
    std::u16string getDataDirectory() const override { return directory(); }
    std::u16string getConfigurationFile() const override { return directory() + u"holm.conf"; }

  private:
    std::u16string directory() const { return holm::common::utf8ToUtf16(product_.string() + "/"); }
    fs::path product_;
};

class UpdaterMasters : public util::IMasterTextReader {
  public:
    std::u16string getText(std::u16string_view name) const override {
        return name == u"#FN_AVCONFIG" ? u"holm-cfgupdate" : u"";
    }
};

// The quoted path after /UPDATEINIBYFILE= in an updater command line.
fs::path commandFileIn(const std::u16string& commandLine) {
    const std::u16string_view marker = u"/UPDATEINIBYFILE=\"";
    const size_t start = commandLine.find(marker) + marker.size();
    return holm::common::utf16ToUtf8(
        commandLine.substr(start, commandLine.find(u'"', start) - start));
}

class ConfigWriteTest : public ::testing::Test {
  protected:
    ConfigWriteTest()
        : settings_(product_.path()),
          store_(settings_, std::make_shared<UpdaterMasters>(), binding_),
          writer_(
              store_, [this](const std::u16string& commandLine) { return launch(commandLine); },
              [this](uint32_t level, const std::u16string& text) {
                  log_.push_back(std::to_string(level) + " " + holm::common::utf16ToUtf8(text));
              }) {}

    // The stand-in updater: records what it was given and ends as `outcome_`.
    UpdaterRun launch(const std::u16string& commandLine) {
        commandLines_.push_back(commandLine);
        const fs::path file = commandFileIn(commandLine);
        const std::string bytes = holm::test::bytesOf(file);
        fileStarts_.push_back(bytes.substr(0, 2));
        commandsSeen_.push_back(holm::product::cfgupdate::readCommandTexts(bytes));
        return outcome_;
    }
    std::vector<fs::path> leftInTemp() {
        std::vector<fs::path> files;
        const std::u16string temp = store_.currentTempDirectory();
        if (!temp.empty()) {
            for (const auto& entry : fs::directory_iterator(holm::common::utf16ToUtf8(temp))) {
                if (entry.path().filename() != ".holm-instance.lock") {
                    files.push_back(entry.path());
                }
            }
        }
        return files;
    }

    holm::test::TempDir product_;
    UpdaterSettings settings_;
    CCfgLibBinding binding_;  // no library: the temporary folder lies under TEMP/
    CConfigStore store_;
    CConfigWriteImpl writer_;
    UpdaterRun outcome_{.started = true, .signalled = false, .exitCode = 0, .failure = ""};
    std::vector<std::u16string> commandLines_;
    std::vector<std::string> fileStarts_;
    std::vector<Texts> commandsSeen_;
    std::vector<std::string> log_;
};

TEST_F(ConfigWriteTest, CommandsTakeTheirDocumentedForms) {
    writer_.setValue(u"S", u"K", u"V");
    writer_.setIndexedValue(u"S", u"K", u"V");
    writer_.removeValue(u"S", u"K");
    writer_.setValue(u"S", u"K", nullptr);  // a null text is an empty one
    EXPECT_EQ(writer_.pendingCommands(), (Texts{u"S:K=V", u"S:K%d=V", u"S:K", u"S:K="}));
    writer_.clear();
    EXPECT_TRUE(writer_.pendingCommands().empty());
}

TEST_F(ConfigWriteTest, CommitWithoutCommandsStartsNothingAndWritesNothing) {
    EXPECT_FALSE(writer_.commit());
    EXPECT_TRUE(commandLines_.empty());
    EXPECT_TRUE(leftInTemp().empty());
}

TEST_F(ConfigWriteTest, CommitHandsTheCommandsInOrderAndDeletesTheFileEveryTime) {
    writer_.setValue(u"HOLM", u"Level", u"3");
    writer_.setIndexedValue(u"HOLM", u"Path", u"/opt/x");
    writer_.removeValue(u"HOLM", u"Old");
    // Twice without clear: the same commands go to the updater again.
    ASSERT_TRUE(writer_.commit());
    EXPECT_TRUE(leftInTemp().empty());
    ASSERT_TRUE(writer_.commit());
    EXPECT_TRUE(leftInTemp().empty());

    ASSERT_EQ(commandLines_.size(), 2u);
    const Texts expected{u"HOLM:Level=3", u"HOLM:Path%d=/opt/x", u"HOLM:Old"};
    for (size_t run = 0; run < 2; ++run) {
        EXPECT_EQ(commandsSeen_[run], expected);
        EXPECT_EQ(fileStarts_[run], "\xFF\xFE");  // UTF-16LE with its byte-order mark
    }
    const std::u16string commandFile =
        CConfigWriteImpl::commandFilePath(store_.currentTempDirectory());
    EXPECT_EQ(commandLines_[0], u"\"" + store_.productDirectory() +
                                    u"holm-cfgupdate\" /UPDATEINIBYFILE=\"" + commandFile + u"\" ");
    EXPECT_NE(commandFile.find(holm::common::utf8ToUtf16(
                  "config_write_" + std::to_string(holm::platform::currentProcessId()) + "_" +
                  std::to_string(holm::platform::currentThreadId()) + ".tmp")),
              std::u16string::npos);
    EXPECT_TRUE(log_.empty());
}

TEST_F(ConfigWriteTest, ARemovedTemporaryFolderComesBackForTheNextCommit) {
    writer_.setValue(u"HOLM", u"Level", u"3");
    ASSERT_TRUE(writer_.commit());
    const fs::path first = holm::common::utf16ToUtf8(store_.currentTempDirectory());
    if (holm::test::onWindows()) {
        GTEST_SKIP() << "the folder's instance lock keeps it from being removed";
    }
    fs::remove_all(first);  // a cleaner, or an operator
    ASSERT_TRUE(writer_.commit());
    const fs::path again = holm::common::utf16ToUtf8(store_.currentTempDirectory());
    EXPECT_TRUE(fs::is_directory(again));
    EXPECT_TRUE(fs::exists(again / ".holm-instance.lock"));
    EXPECT_EQ(commandLines_.size(), 2u);
}

TEST(TemporaryFolderTest, AMissingBaseIsMadeAndInstancesStartedTogetherEachGetAFolder) {
    holm::test::TempDir dir;
    // The data directory, and so the base under it, does not exist yet.
    UpdaterSettings settings(dir.path() / "missing" / "data");
    CCfgLibBinding oneBinding;
    CCfgLibBinding otherBinding;
    CConfigStore one(settings, std::make_shared<UpdaterMasters>(), oneBinding);
    CConfigStore other(settings, std::make_shared<UpdaterMasters>(), otherBinding);
    const fs::path first = holm::common::utf16ToUtf8(one.tempDirectory());
    const fs::path second = holm::common::utf16ToUtf8(other.tempDirectory());
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first, second);
    EXPECT_TRUE(fs::is_directory(first));
    EXPECT_TRUE(fs::is_directory(second));
    EXPECT_EQ(first.parent_path().parent_path(), dir.path() / "missing" / "data" / "TEMP");
}

TEST_F(ConfigWriteTest, CommandsReadBackExactlyWhateverTheirBlanksAndQuotes) {
    const Texts values{u"  padded  ", u"\"quoted\"", u"", u"a=b;c]", u"\tx"};
    for (const auto& value : values) {
        writer_.setValue(u"S]x", u"K", value.c_str());  // ']' is the updater's to refuse
    }
    ASSERT_TRUE(writer_.commit());
    ASSERT_EQ(commandsSeen_.size(), 1u);
    EXPECT_EQ(commandsSeen_[0], writer_.pendingCommands());
}

TEST_F(ConfigWriteTest, UpdaterOutcomesAreLoggedAndOnlyAStartFailureFailsCommit) {
    writer_.setValue(u"S", u"K", u"V");
    outcome_ = {.started = true, .signalled = false, .exitCode = 3, .failure = ""};
    EXPECT_TRUE(writer_.commit());
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_NE(log_[0].find("exit code 3"), std::string::npos) << log_[0];

    outcome_ = {.started = true, .signalled = true, .exitCode = 9, .failure = ""};  // killed
    EXPECT_TRUE(writer_.commit());
    ASSERT_EQ(log_.size(), 2u);
    EXPECT_NE(log_[1].find("signal 9"), std::string::npos) << log_[1];

    outcome_ = {.started = false,
                .signalled = false,
                .exitCode = 0,
                .failure = "No such file or directory"};
    EXPECT_FALSE(writer_.commit());
    ASSERT_EQ(log_.size(), 3u);
    EXPECT_NE(log_[2].find("could not be started"), std::string::npos) << log_[2];
    EXPECT_TRUE(leftInTemp().empty());
}

TEST_F(ConfigWriteTest, ACommandFileThatCannotBeWrittenFailsCommitBeforeAnyStart) {
    writer_.setValue(u"S", u"K", u"V");
    {
        holm::test::InjectedFaults faults;
        faults.failWrite(ENOSPC);
        EXPECT_FALSE(writer_.commit());
    }
    EXPECT_TRUE(leftInTemp().empty());  // the partial file is gone
    {
        holm::test::InjectedFaults faults;
        faults.failFsync(EIO);
        EXPECT_FALSE(writer_.commit());
    }
    EXPECT_TRUE(leftInTemp().empty());

    // A file already at the command file's name is not ours: left alone.
    const fs::path placed =
        holm::common::utf16ToUtf8(CConfigWriteImpl::commandFilePath(store_.tempDirectory()));
    std::ofstream(placed, std::ios::binary) << "[UPDINI]\nCmd0=S:K=planted\n";
    EXPECT_FALSE(writer_.commit());
    EXPECT_EQ(holm::test::bytesOf(placed), "[UPDINI]\nCmd0=S:K=planted\n");
    fs::remove(placed);

    writer_.clear();
    writer_.setValue(u"S", u"K", u"two\nlines");
    EXPECT_FALSE(writer_.commit());
    EXPECT_TRUE(commandLines_.empty());
    EXPECT_EQ(log_.size(), 4u);
    EXPECT_TRUE(leftInTemp().empty());
}

// The product's launcher with stand-in updaters, each installed as the
// product's updater and signed with `key` (unsigned without one).
class UpdaterLaunchTest : public ConfigWriteTest {
  protected:
    UpdaterLaunchTest() {
        fs::permissions(product_.path(), fs::perms::owner_all);
        holm::test::setEnvironment("HOLM_TEST_UPDATER_LOG", record_.string());
        trust_.add(holm::test::productSigningKey().publicKey(), holm::security::KeyRole::Product);
        trust_.add(holm::test::authorSigningKey().publicKey());
    }
    ~UpdaterLaunchTest() override {
        holm::test::unsetEnvironment("HOLM_TEST_UPDATER_LOG");
        holm::test::unsetEnvironment("HOLM_TEST_UPDATER_KILL");
    }

    fs::path install(const fs::path& build, const holm::security::PrivateKey* key) {
        const fs::path target = product_.path() / "holm-cfgupdate";
        fs::copy_file(build, target, fs::copy_options::overwrite_existing);
        fs::permissions(target, fs::perms::owner_all);
        fs::remove(target.string() + ".sig");
        if (key != nullptr) {
            holm::test::signFileWith(target, *key);
        }
        return target;
    }

    CConfigWriteImpl writerWith(holm::services::UpdaterLauncher launcher) {
        return CConfigWriteImpl(store_, std::move(launcher),
                                [this](uint32_t, const std::u16string& text) {
                                    log_.push_back(holm::common::utf16ToUtf8(text));
                                });
    }

    // Which stand-ins ran, one per line.
    std::string ran() const { return fs::exists(record_) ? holm::test::bytesOf(record_) : ""; }

    holm::test::TempDir recordDirectory_;
    fs::path record_ = recordDirectory_.path() / "ran.txt";
    holm::security::TrustStore trust_;
};

TEST_F(UpdaterLaunchTest, AKilledOrMissingUpdaterIsReportedAndLeavesNoCommandFile) {
    CConfigWriteImpl writer = writerWith(holm::services::runUpdaterProcess);
    writer.setValue(u"S", u"K", u"V");
    const fs::path updater = install(HOLM_TEST_UPDATER, &holm::test::productSigningKey());
    holm::test::setEnvironment("HOLM_TEST_UPDATER_KILL", "1");
    EXPECT_TRUE(writer.commit());
    ASSERT_EQ(log_.size(), 1u);
    // Where there are no signals a kill ends the process with 128 + 9.
    EXPECT_TRUE(log_[0].find("signal 9") != std::string::npos ||
                log_[0].find("exit code 137") != std::string::npos)
        << log_[0];
    EXPECT_EQ(ran(), "verified\n");
    EXPECT_TRUE(leftInTemp().empty());

    fs::remove(updater);
    EXPECT_FALSE(writer.commit());
    ASSERT_EQ(log_.size(), 2u);
    EXPECT_NE(log_[1].find("could not be started"), std::string::npos) << log_[1];
    EXPECT_TRUE(leftInTemp().empty());
}

// Only the product key makes an updater: an unsigned one or one signed by a
// plugin author is not started, commit fails with the reason in the log,
// and the command file is gone all the same.
TEST_F(UpdaterLaunchTest, AnUpdaterNotSignedWithTheProductKeyIsNotStarted) {
    CConfigWriteImpl writer = writerWith([this](const std::u16string& commandLine) {
        return holm::services::runVerifiedUpdater(
            commandLine, {.trust = &trust_,
                          .systemLibraries = holm::security::systemLibraryDirectories(),
                          .beforeStart = {}});
    });
    writer.setValue(u"S", u"K", u"V");
    const fs::path updater = install(HOLM_TEST_UPDATER, nullptr);
    EXPECT_FALSE(writer.commit());
    install(HOLM_TEST_UPDATER, &holm::test::authorSigningKey());
    EXPECT_FALSE(writer.commit());
    ASSERT_EQ(log_.size(), 2u);
    EXPECT_NE(log_[0].find("could not be started: refused: "), std::string::npos) << log_[0];
    EXPECT_NE(log_[0].find(updater.filename().string() + ": no signature"), std::string::npos)
        << log_[0];
    EXPECT_NE(log_[1].find("only the product key may sign this file"), std::string::npos)
        << log_[1];
    EXPECT_EQ(ran(), "");
    EXPECT_TRUE(leftInTemp().empty());

    install(HOLM_TEST_UPDATER, &holm::test::productSigningKey());
    EXPECT_TRUE(writer.commit());
    EXPECT_EQ(ran(), "verified\n");
}

// The updater runs from the descriptor that was verified: another program
// renamed over its path between the check and the start does not run.
TEST_F(UpdaterLaunchTest, AnUpdaterSwappedAfterItsCheckIsNotWhatRuns) {
    if (holm::test::onWindows()) {
        GTEST_SKIP() << "a program open for its start cannot be replaced: no swap to run";
    }
    const fs::path updater = install(HOLM_TEST_UPDATER, &holm::test::productSigningKey());
    const fs::path impostor = product_.path() / "impostor";
    fs::copy_file(HOLM_TEST_IMPOSTOR, impostor);
    CConfigWriteImpl writer = writerWith([&](const std::u16string& commandLine) {
        return holm::services::runVerifiedUpdater(
            commandLine, {.trust = &trust_,
                          .systemLibraries = holm::security::systemLibraryDirectories(),
                          .beforeStart = [&] { fs::rename(impostor, updater); }});
    });
    writer.setValue(u"S", u"K", u"V");
    EXPECT_TRUE(writer.commit());
    EXPECT_EQ(ran(), "verified\n");
    EXPECT_FALSE(fs::exists(impostor));  // the swap did happen
    EXPECT_TRUE(log_.empty()) << log_.front();
}

}  // namespace

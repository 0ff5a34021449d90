// IConfig objects of a real core, over the built configuration library and a
// configuration file in the test's data directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/utf16.h"
#include "core/support/host_harness.h"
#include "hlmplg/hlmplg.h"
#include "services/scramble.h"
#include "support/test_support.h"

namespace {

using holm::test::coreEntry;
using holm::test::CorePtr;
using holm::test::RecordingHandler;
using namespace HlmPlg;
namespace fs = std::filesystem;

// A directory as the core's interfaces give it: UTF-16 with '/' between the
// components (a Windows path of this machine may be written with '\\').
std::u16string coreForm(const fs::path& directory) {
    std::u16string text = holm::test::u16(directory);
    std::replace(text.begin(), text.end(), u'\\', u'/');
    return text;
}

// Counts the notifications of one handler; may run a step inside its calls.
class CountingHandler : public IConfigHandler {
  public:
    void onConfigReloaded() override { ++reloaded; }
    void onConfigChanged() override {
        ++changed;
        if (duringChange) {
            duringChange();
        }
    }
    std::atomic<int> reloaded{0};
    std::atomic<int> changed{0};
    std::function<void()> duringChange;
};

// A running core (so that a reload is carried out at once) and the
// configuration file it reads.
class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        configFile_ = fs::path(holm::test::testDataDirectory()) / "holm.conf";
        writeConfiguration("");
        core_.reset(coreEntry()(u"@XMLFILE:", &host_, nullptr));
        ASSERT_NE(core_, nullptr);
        ASSERT_EQ(core_->run(false), 0u);
        // One process may run several tests: start from the file just written.
        core_->reloadConfig();
    }
    void TearDown() override {
        for (IConfig* config : configs_) {
            core_->releaseInterface(IID_CONFIG, config);
        }
        if (core_) {
            core_->stop();
        }
        fs::remove(configFile_);
    }

    // Replaced whole, so that the library never reads a half-written file.
    void writeConfiguration(const std::string& content) {
        const fs::path next = configFile_.string() + ".next";
        std::ofstream(next, std::ios::trunc) << content;
        fs::rename(next, configFile_);
    }
    IConfig* config() {
        auto* object = dynamic_cast<IConfig*>(core_->createInterface(IID_CONFIG));
        if (object != nullptr) {
            configs_.push_back(object);
        }
        return object;
    }
    void release(IConfig* object) {
        std::erase(configs_, object);
        core_->releaseInterface(IID_CONFIG, object);
    }

    RecordingHandler host_;
    CorePtr core_;
    fs::path configFile_;
    std::vector<IConfig*> configs_;
};

TEST_F(ConfigTest, TypedReadsGiveStoredValuesElseTheirDefaults) {
    writeConfiguration(
        "[COMMON]\nName = guard\nCount=42\nMask=ff\nOn=1\nTwo=2\nList=a,b,,c\nNotANumber=x1\n");
    core_->reloadConfig();
    IConfig* config = this->config();
    ASSERT_NE(config, nullptr);

    EXPECT_EQ(holm::test::printable(config->readString(u"common", u"name", u"d")), u"guard");
    EXPECT_EQ(holm::test::printable(config->readString(u"COMMON", u"Missing", u"fallback")),
              u"fallback");
    EXPECT_EQ(config->readInt(u"COMMON", u"Count", 7), 42);
    EXPECT_EQ(config->readInt(u"COMMON", u"NotANumber", 7), 7);
    EXPECT_EQ(config->readInt(u"COMMON", u"Missing", -3), -3);
    EXPECT_EQ(config->readHex(u"COMMON", u"Mask", 1), 0xFFu);
    EXPECT_TRUE(config->readBool(u"COMMON", u"On", false));
    EXPECT_FALSE(config->readBool(u"COMMON", u"Two", true));  // only exactly 1 is true
    EXPECT_TRUE(config->readBool(u"COMMON", u"Missing", true));

    IStringList* list = config->readList(u"COMMON", u"List", u"x", u",");
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->getCount(), 4);

    // Text results live in the object until its next call.
    const char16_t* first = config->readString(u"COMMON", u"Name", u"");
    config->readString(u"COMMON", u"Missing", u"second");
    EXPECT_EQ(holm::test::printable(first), u"second");
}

TEST_F(ConfigTest, ListDefaultsSplitAtTheSeparator) {
    IConfig* config = this->config();
    ASSERT_NE(config, nullptr);
    auto items = [&](const char16_t* defaultValue, const char16_t* separator) {
        std::vector<std::u16string> result;
        IStringList* list = config->readList(u"COMMON", u"Unset", defaultValue, separator);
        auto* iterator = list->createIterator();
        for (const char16_t* item = iterator->first(); item != nullptr; item = iterator->next()) {
            result.emplace_back(item);
        }
        list->releaseIterator(iterator);
        return result;
    };
    using Items = std::vector<std::u16string>;
    EXPECT_EQ(items(u"a;b", u";"), (Items{u"a", u"b"}));
    EXPECT_EQ(items(u"a;b;", u";"), (Items{u"a", u"b"}));
    EXPECT_EQ(items(u"", u";"), (Items{u""}));
    EXPECT_EQ(items(u"a;;b", u";"), (Items{u"a", u"", u"b"}));
    EXPECT_EQ(items(u"a--b", u"--"), (Items{u"a", u"b"}));
    EXPECT_EQ(items(u"a;b", u""), Items{});
}

TEST_F(ConfigTest, TempDirectoryStaysUntilAReloadMovesItsBase) {
    const fs::path newBase = fs::path(holm::test::testDataDirectory()) / "moved";
    fs::create_directories(newBase);
    IConfig* config = this->config();
    ASSERT_NE(config, nullptr);
    CountingHandler handler;
    ASSERT_TRUE(config->registerHandler(&handler));

    const std::u16string first = holm::test::printable(config->getTempDirectory());
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(fs::is_directory(holm::common::utf16ToUtf8(first)));
    EXPECT_EQ(holm::test::printable(config->getTempDirectory()), first);
    if (holm::test::fileModesApply()) {
        EXPECT_EQ(fs::status(holm::common::utf16ToUtf8(first)).permissions() & fs::perms::all,
                  fs::perms::owner_all);
    }

    core_->reloadConfig();  // nothing changed
    EXPECT_EQ(handler.reloaded, 1);
    EXPECT_EQ(handler.changed, 0);
    EXPECT_EQ(holm::test::printable(config->getTempDirectory()), first);

    writeConfiguration("[COMMON]\nTempDirectory=" + holm::test::utf8(newBase) + "\n");
    core_->reloadConfig();
    EXPECT_EQ(handler.reloaded, 2);
    EXPECT_EQ(handler.changed, 1);  // its TEMPDIR record moved
    EXPECT_FALSE(fs::exists(holm::common::utf16ToUtf8(first)));

    const std::u16string second = holm::test::printable(config->getTempDirectory());
    EXPECT_NE(second, first);
    EXPECT_EQ(second.rfind(holm::test::u16(newBase) + u"/", 0), 0u)
        << holm::common::utf16ToUtf8(second);
    EXPECT_TRUE(fs::is_directory(holm::common::utf16ToUtf8(second)));
    config->unregisterHandler(&handler);
}

TEST_F(ConfigTest, SystemTempPathIsUsedWhenAskedFor) {
    holm::test::TempDir systemTemp;
    // The system's temporary directory is TMPDIR on Linux, TMP on Windows.
    const char* const variable = holm::test::onWindows() ? "TMP" : "TMPDIR";
    const char* const previous = std::getenv(variable);
    const std::string saved = previous != nullptr ? previous : "";
    holm::test::setEnvironment(variable, systemTemp.path());
    writeConfiguration("[COMMON]\nUseSystemTempPath=1\n");
    core_->reloadConfig();
    IConfig* config = this->config();
    ASSERT_NE(config, nullptr);
    const std::u16string temp = holm::test::printable(config->getTempDirectory());
    EXPECT_EQ(temp.rfind(coreForm(systemTemp.path()) + u"/", 0), 0u)
        << holm::common::utf16ToUtf8(temp);
    holm::test::setEnvironment(variable, previous != nullptr ? saved.c_str() : nullptr);
}

TEST_F(ConfigTest, DirectoriesEndInOneSeparatorAndReportPathDefaultsToLogFiles) {
    IConfig* config = this->config();
    ASSERT_NE(config, nullptr);
    const std::u16string data = holm::test::printable(config->getDataDirectory());
    const fs::path logFiles = fs::path(holm::test::testDataDirectory()) / "LOGFILES";
    fs::remove_all(logFiles);
    EXPECT_EQ(holm::test::printable(config->getReportPath(u"avholm.log")),
              data + u"LOGFILES/avholm.log");
    EXPECT_TRUE(fs::is_directory(logFiles));
    EXPECT_EQ(holm::test::printable(config->getAppDataSubDir(u"cache//")), data + u"cache/");
    EXPECT_TRUE(fs::is_directory(fs::path(holm::test::testDataDirectory()) / "cache"));
    // Copied one by one: each call reuses the object's result text.
    const std::vector<std::u16string> directories = {
        holm::test::printable(config->getSystemDirectory()),
        holm::test::printable(config->getWindowsDirectory()),
        holm::test::printable(config->getProductDirectory()),
        holm::test::printable(config->getDataDirectory())};
    for (const std::u16string& value : directories) {
        ASSERT_GE(value.size(), 1u);
        EXPECT_EQ(value.back(), u'/');
        EXPECT_TRUE(value.size() == 1 || value[value.size() - 2] != u'/') << value.size();
    }

    writeConfiguration("[COMMON]\nReportDirectory=/var/reports\n");
    core_->reloadConfig();
    EXPECT_EQ(holm::test::printable(config->getReportPath(u"x.log")),
              u"/var/reports"
              u"x.log");  // as configured
}

TEST_F(ConfigTest, RegistrySlotsReadAndWriteTheRegistryStore) {
    IConfig* config = this->config();
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(holm::test::printable(config->readProductRegistryString(u"Missing")), u"");
    EXPECT_EQ(config->readProductRegistryDword(u"Missing"), -1);

    EXPECT_TRUE(config->writeProductRegistryString(u"Name", u"guard"));
    EXPECT_TRUE(config->writeProductRegistryDword(u"Level", 7));
    EXPECT_EQ(holm::test::printable(config->readProductRegistryString(u"Name")), u"guard");
    EXPECT_EQ(config->readProductRegistryDword(u"Level"), 7);
    EXPECT_EQ(config->readRegistryDword(HKEY_LOCAL_MACHINE_ID, u"SOFTWARE\\Holm\\Guard", u"level"),
              7);
    // A text read takes 259 characters and the terminator; longer fails.
    EXPECT_TRUE(config->writeRegistryString(HKEY_CURRENT_USER_ID, u"Test", u"Fits",
                                            std::u16string(259, u'x').c_str()));
    EXPECT_TRUE(config->writeRegistryString(HKEY_CURRENT_USER_ID, u"Test", u"Long",
                                            std::u16string(260, u'x').c_str()));
    EXPECT_EQ(
        holm::test::printable(config->readRegistryString(HKEY_CURRENT_USER_ID, u"Test", u"Fits"))
            .size(),
        259u);
    EXPECT_EQ(
        holm::test::printable(config->readRegistryString(HKEY_CURRENT_USER_ID, u"Test", u"Long")),
        u"");
    // A text is not a number; an unknown root is nothing.
    EXPECT_EQ(config->readRegistryDword(HKEY_CURRENT_USER_ID, u"Test", u"Fits"), -1);
    EXPECT_FALSE(config->writeRegistryDword(0x12345678, u"Test", u"x", 1));
    EXPECT_EQ(config->readRegistryDword(0x12345678, u"Test", u"x"), -1);
}

TEST_F(ConfigTest, ScrambledValuesUnscrambleToTheirText) {
    const auto stored = holm::services::scramble(u"s3cret p\u00e4ss");
    ASSERT_TRUE(stored.has_value());
    ASSERT_EQ(stored->size(), 80u);
    writeConfiguration("[COMMON]\nSecret=" + holm::common::utf16ToUtf8(*stored) +
                       "\nBroken=zz\nShort=" + holm::common::utf16ToUtf8(stored->substr(2, 10)) +
                       "\n");
    core_->reloadConfig();
    IConfig* config = this->config();
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(holm::test::printable(config->readScrambledString(u"COMMON", u"Secret")),
              u"s3cret p\u00e4ss");
    EXPECT_EQ(holm::test::printable(config->unscramble(stored->c_str())), u"s3cret p\u00e4ss");
    EXPECT_EQ(holm::test::printable(config->readScrambledString(u"COMMON", u"Broken")), u"");
    EXPECT_EQ(holm::test::printable(config->readScrambledString(u"COMMON", u"Missing")), u"");
    EXPECT_EQ(holm::test::printable(config->unscramble(u"")), u"");
    EXPECT_FALSE(holm::services::scramble(std::u16string(40, u'x')).has_value());
}

TEST_F(ConfigTest, ReloadTellsEveryHandlerAndChangeOnlyWhereReadValuesChanged) {
    writeConfiguration("[HOLM]\nLevel=1\nName=a\nUnread=1\n");
    core_->reloadConfig();
    IConfig* reader = config();
    IConfig* idle = config();
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(idle, nullptr);
    CountingHandler readerHandler;
    CountingHandler idleHandler;
    struct NotAConfigHandler : IHandler {
    } other;
    EXPECT_FALSE(reader->registerHandler(&other));
    ASSERT_TRUE(reader->registerHandler(&readerHandler));
    ASSERT_TRUE(idle->registerHandler(&idleHandler));
    EXPECT_EQ(reader->readInt(u"HOLM", u"Level", 0), 1);
    EXPECT_EQ(holm::test::printable(reader->readString(u"HOLM", u"Name", u"")), u"a");

    writeConfiguration("[HOLM]\nLevel=1\nName=a\nUnread=2\n");
    core_->reloadConfig();
    EXPECT_EQ(readerHandler.reloaded, 1);
    EXPECT_EQ(readerHandler.changed, 0);

    writeConfiguration("[HOLM]\nLevel=2\nName=a\n");
    core_->reloadConfig();
    EXPECT_EQ(readerHandler.reloaded, 2);
    EXPECT_EQ(readerHandler.changed, 1);
    EXPECT_EQ(idleHandler.reloaded, 2);
    EXPECT_EQ(idleHandler.changed, 0);

    // A handler that reads and unregisters itself while it is told.
    readerHandler.duringChange = [&] {
        EXPECT_EQ(reader->readInt(u"HOLM", u"Level", 0), 3);
        EXPECT_TRUE(reader->unregisterHandler(&readerHandler));
    };
    writeConfiguration("[HOLM]\nLevel=3\nName=a\n");
    core_->reloadConfig();
    EXPECT_EQ(readerHandler.changed, 2);
    core_->reloadConfig();
    EXPECT_EQ(readerHandler.reloaded, 3);  // no longer registered
    EXPECT_EQ(idleHandler.reloaded, 4);
    idle->unregisterHandler(&idleHandler);
}

// Number reads keep their records as numbers: a read asked again in another
// case is the same record, a missing value read with two defaults is two,
// and hex and bool values that move are noticed.
TEST_F(ConfigTest, NumberRecordsMatchNamesInAnyCaseAndNoticeMovedValues) {
    writeConfiguration("[HOLM]\nLevel=1\nMask=ff\nOn=1\n");
    core_->reloadConfig();
    IConfig* reader = config();
    ASSERT_NE(reader, nullptr);
    CountingHandler handler;
    ASSERT_TRUE(reader->registerHandler(&handler));
    EXPECT_EQ(reader->readInt(u"HOLM", u"Level", 0), 1);
    EXPECT_EQ(reader->readInt(u"holm", u"LEVEL", 0), 1);
    EXPECT_EQ(reader->readInt(u"HOLM", u"Missing", 5), 5);
    EXPECT_EQ(reader->readInt(u"HOLM", u"Missing", -6), -6);
    EXPECT_EQ(reader->readHex(u"HOLM", u"Mask", 0), 0xFFu);
    EXPECT_TRUE(reader->readBool(u"HOLM", u"On", false));

    core_->reloadConfig();
    EXPECT_EQ(handler.changed, 0) << "every record still reads the same";

    writeConfiguration("[HOLM]\nLevel=1\nMask=1ff\nOn=1\n");
    core_->reloadConfig();
    EXPECT_EQ(handler.changed, 1);
    EXPECT_EQ(reader->readHex(u"HOLM", u"mask", 0), 0x1FFu);

    writeConfiguration("[HOLM]\nLevel=1\nMask=1ff\nOn=0\n");
    core_->reloadConfig();
    EXPECT_EQ(handler.changed, 2);
    EXPECT_FALSE(reader->readBool(u"HOLM", u"On", false));

    writeConfiguration("[HOLM]\nLevel=1\nMask=1ff\nOn=0\nMissing=5\n");
    core_->reloadConfig();
    EXPECT_EQ(handler.changed, 3) << "the read with default -6 now reads 5";
    reader->unregisterHandler(&handler);
}

// A text result handed back as the next read's section, key or default is
// read, and recorded, as it was asked, although the read overwrites it.
TEST_F(ConfigTest, AResultGivenBackAsNamesOrDefaultIsReadAsAsked) {
    writeConfiguration("[COMMON]\nSection=HOLM\nKey=Level\n[HOLM]\nLevel=high\n");
    core_->reloadConfig();
    IConfig* reader = config();
    ASSERT_NE(reader, nullptr);
    CountingHandler handler;
    ASSERT_TRUE(reader->registerHandler(&handler));
    using holm::test::printable;
    EXPECT_EQ(printable(reader->readString(reader->readString(u"COMMON", u"Section", u""), u"Level",
                                           u"")),
              u"high");
    EXPECT_EQ(
        printable(reader->readString(u"HOLM", reader->readString(u"COMMON", u"Key", u""), u"")),
        u"high");
    EXPECT_EQ(printable(reader->readString(u"HOLM", u"Missing",
                                           reader->readString(u"COMMON", u"Key", u""))),
              u"Level");

    core_->reloadConfig();
    EXPECT_EQ(handler.changed, 0) << "every record holds the names that were asked";
    writeConfiguration("[COMMON]\nSection=HOLM\nKey=Level\n[HOLM]\nLevel=low\n");
    core_->reloadConfig();
    EXPECT_EQ(handler.changed, 1);
    reader->unregisterHandler(&handler);
}

TEST_F(ConfigTest, ReleasedObjectLeavesNoHandlerOrRecordBehind) {
    IConfig* first = config();
    ASSERT_NE(first, nullptr);
    CountingHandler handler;
    ASSERT_TRUE(first->registerHandler(&handler));
    release(first);
    core_->reloadConfig();
    EXPECT_EQ(handler.reloaded, 0);
}

// Readers on several threads while reloads change the values they read: each
// read gives one of the values written, never a torn or freed text.
TEST_F(ConfigTest, ManyThreadsReadWhileReloadsRun) {
    writeConfiguration("[HOLM]\nName=first\nLevel=1\n");
    core_->reloadConfig();
    std::atomic<bool> done{false};
    std::atomic<int> unexpected{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) {
        IConfig* config = this->config();
        ASSERT_NE(config, nullptr);
        readers.emplace_back([&, config] {
            CountingHandler handler;
            config->registerHandler(&handler);
            while (!done) {
                const std::u16string name =
                    holm::test::printable(config->readString(u"HOLM", u"Name", u""));
                const int32_t level = config->readInt(u"HOLM", u"Level", 0);
                if ((name != u"first" && name != u"second") || level < 1 || level > 2) {
                    if (++unexpected == 1) {
                        ADD_FAILURE() << holm::common::utf16ToUtf8(name) << " " << level;
                    }
                }
                ++reads;
            }
            config->unregisterHandler(&handler);
        });
    }
    // Some reads before the values change (the first read binds the library).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (reads < 100 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    for (int round = 0; round < 50; ++round) {
        writeConfiguration(round % 2 ? "[HOLM]\nName=first\nLevel=1\n"
                                     : "[HOLM]\nName=second\nLevel=2\n");
        core_->reloadConfig();
    }
    done = true;
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(unexpected, 0);
}

}  // namespace

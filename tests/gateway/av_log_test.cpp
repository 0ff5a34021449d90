// "IAvLog" of the gateway over a log and resource strings of the test's own.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "gateway/av_log.h"
#include "gateway/gateway.h"
#include "gateway/support/fake_core.h"
#include "support/test_support.h"

namespace {

using holm::gateway::avLogFileName;
using holm::gateway::HP2ObjAvLog;
using holm::test::FakeCore;

// Records how it was opened and the lines of committed entries.
class FakeLog : public HlmPlg::ILog {
  public:
    class Event : public HlmPlg::ILogEvent {
      public:
        void addLine(int32_t, uint32_t, uint32_t, const char16_t*, ...) override {}
        void addLineV(int32_t, uint32_t, uint32_t, const char16_t* format, va_list) override {
            lines.push_back(format);
        }
        void addLineText(int32_t, uint32_t, uint32_t, const char16_t* text) override {
            lines.push_back(text);
        }
        std::vector<std::u16string> lines;
    };

    bool open(const char16_t* fileName, int32_t level, int32_t maxSize, bool backup) override {
        path = fileName;
        this->level = level;
        this->maxSize = maxSize;
        this->backup = backup;
        ++opens;
        return true;
    }
    bool close() override {
        ++closes;
        return true;
    }
    HlmPlg::ILogEvent* createEvent() override { return new Event(); }
    void commitEvent(HlmPlg::ILogEvent** event) override {
        committed += static_cast<int>(static_cast<Event*>(*event)->lines.size());
        delete *event;
        *event = nullptr;
    }
    void log(int32_t, uint32_t, uint32_t, const char16_t*, ...) override {}
    void logV(int32_t, uint32_t, uint32_t, const char16_t*, va_list) override {}
    void logText(int32_t, uint32_t, uint32_t, const char16_t*) override {}
    bool isLevelEnabled(int32_t) override { return true; }
    uint32_t getLastError() override { return 0; }

    std::u16string path;
    int32_t level = -1, maxSize = -1;
    bool backup = false;
    int opens = 0, closes = 0, committed = 0;
};

class AvLogTest : public ::testing::Test {
  protected:
    HlmPlg::RefPtr<HP2ObjAvLog> makeLog(bool messageLibrary) {
        auto* strings =
            static_cast<holm::test::FakeResString2*>(core_.createInterface(HlmPlg::IID_RESSTRING2));
        strings->libraryLoads = messageLibrary;
        log_ = new FakeLog();
        HlmPlg::RefPtr<HP2ObjAvLog> made(new HP2ObjAvLog(log_, strings, &core_));
        made->setExecutablePath("/opt/holm/avholm");
        return made;
    }
    // An IConfig wrapper over the fake configuration, with the report
    // directory in a private temporary directory.
    HlmPlg::RefPtr<HlmPlg::IPluginObject2> makeConfig() {
        auto* config = static_cast<holm::test::FakeConfig*>(core_.createInterface(1));
        config->appDataSubDir = (dir_.path() / "logs" / "new").u16string() + u"/";
        config_ = config;
        return HlmPlg::RefPtr<HlmPlg::IPluginObject2>(
            new holm::gateway::HP2ObjConfig(config, &core_));
    }

    holm::test::TempDir dir_;
    FakeCore core_;
    FakeLog* log_ = nullptr;
    holm::test::FakeConfig* config_ = nullptr;
};

TEST(AvLogFileName, TakesTheProgramsNameWithLogAsExtension) {
    EXPECT_EQ(avLogFileName("/opt/holm/avholm"), u"avholm.log");
    EXPECT_EQ(avLogFileName("/opt/holm/plansvc.exe"), u"plansvc.log");
    EXPECT_EQ(avLogFileName("/x/" + std::string(40, 'a')), std::u16string(31, u'a') + u".log");
}

// A maximum size of 0 means 100 MiB with numbered backups; any other size is
// kept with the configured mode. The directory is created first.
TEST_F(AvLogTest, OpenFromConfigWithSizeZeroUsesHundredMebibytesAndBackups) {
    auto log = makeLog(true);
    auto configObject = makeConfig();
    auto* config = dynamic_cast<HlmPlg::IHP2ObjConfig*>(configObject.get());
    EXPECT_EQ(log->openFromConfig(config), 1u);
    EXPECT_EQ(log_->path, config_->appDataSubDir + u"avholm.log");
    EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "logs" / "new"));
    EXPECT_EQ(log_->level, 1);
    EXPECT_EQ(log_->maxSize, 104857600);
    EXPECT_TRUE(log_->backup);

    config_->ints[u"MaximumLogFileSize"] = 5000;
    config_->ints[u"ReportingLevel"] = 3;
    EXPECT_EQ(log->openFromConfig(config), 1u);
    EXPECT_EQ(log_->maxSize, 5000);
    EXPECT_EQ(log_->level, 3);
    EXPECT_FALSE(log_->backup);
    EXPECT_EQ(log_->closes, 1);  // the second open closes the first
}

TEST_F(AvLogTest, GetMessageNeedsTheMessageLibrary) {
    EXPECT_EQ(makeLog(true)->getMessage(7), u"%s has %d files");
    EXPECT_EQ(makeLog(false)->getMessage(7), u"");
}

// Events are forwarded; a missing event does nothing. The log and the texts
// go back to the core with the wrapper.
TEST_F(AvLogTest, EventsAreForwardedAndServicesReleased) {
    {
        auto log = makeLog(true);
        HlmPlg::ILogEvent* event = log->createEvent();
        ASSERT_NE(event, nullptr);
        log->addEventLineText(event, 1, 5, 3, u"text");
        log->addEventLine(event, 1, 5, 3, u"format %d", 3);
        log->addEventLineText(nullptr, 1, 5, 3, u"ignored");
        log->commitEvent(event);
        log->commitEvent(nullptr);
        EXPECT_EQ(log_->committed, 2);
    }
    EXPECT_EQ(core_.liveObjects(HlmPlg::IID_RESSTRING2), 0);
}

}  // namespace

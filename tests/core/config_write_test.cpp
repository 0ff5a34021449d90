// Configuration writes end to end: IConfigWrite objects of a real core run
// the real updater of the product directory on the test's configuration
// file, and IConfig objects read the result after a reload.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/utf16.h"
#include "core/support/host_harness.h"
#include "hlmplg/hlmplg.h"
#include "support/test_support.h"

namespace {

using holm::test::coreEntry;
using holm::test::CorePtr;
using holm::test::RecordingHandler;
using namespace HlmPlg;
namespace fs = std::filesystem;

class ConfigWriteCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        configFile_ = fs::path(holm::test::testDataDirectory()) / "holm.conf";
        {
            std::ofstream(configFile_.string() + ".next", std::ios::binary | std::ios::trunc)
                << "; kept\n[DEMO]\nLevel = 1\nGone = x\n";
            fs::rename(configFile_.string() + ".next", configFile_);
        }
        core_.reset(coreEntry()(u"@XMLFILE:", &host_, nullptr));
        ASSERT_NE(core_, nullptr);
        ASSERT_EQ(core_->run(false), 0u);
        core_->reloadConfig();
        config_ = dynamic_cast<IConfig*>(core_->createInterface(IID_CONFIG));
        writer_ = dynamic_cast<IConfigWrite*>(core_->createInterface(IID_CONFIGWRITE));
        ASSERT_NE(config_, nullptr);
        ASSERT_NE(writer_, nullptr);
    }
    void TearDown() override {
        if (writer_ != nullptr) {
            core_->releaseInterface(IID_CONFIGWRITE, writer_);
        }
        if (config_ != nullptr) {
            core_->releaseInterface(IID_CONFIG, config_);
        }
        if (core_) {
            core_->stop();
        }
        fs::remove(configFile_);
    }
    // Files in the temporary folder besides its instance lock.
    size_t filesInTemp() {
        size_t count = 0;
        for (const auto& entry :
             fs::directory_iterator(holm::common::utf16ToUtf8(config_->getTempDirectory()))) {
            count += entry.path().filename() != ".holm-instance.lock" ? 1 : 0;
        }
        return count;
    }

    RecordingHandler host_;
    CorePtr core_;
    fs::path configFile_;
    IConfig* config_ = nullptr;
    IConfigWrite* writer_ = nullptr;
};

TEST_F(ConfigWriteCoreTest, ACommitReachesTheFileAndAReloadShowsIt) {
    writer_->setValue(u"DEMO", u"Level", u"2");
    writer_->setIndexedValue(u"DEMO", u"Path", u"/a");
    writer_->setIndexedValue(u"DEMO", u"Path", u"/b");
    writer_->removeValue(u"DEMO", u"Gone");
    ASSERT_TRUE(writer_->commit());
    EXPECT_EQ(filesInTemp(), 0u);
    EXPECT_EQ(config_->readInt(u"DEMO", u"Level", 0), 1);  // the library's copy until a reload

    core_->reloadConfig();
    EXPECT_EQ(config_->readInt(u"DEMO", u"Level", 0), 2);
    EXPECT_EQ(std::u16string(config_->readString(u"DEMO", u"Path0", u"")), u"/a");
    EXPECT_EQ(std::u16string(config_->readString(u"DEMO", u"Path1", u"")), u"/b");
    EXPECT_EQ(std::u16string(config_->readString(u"DEMO", u"Gone", u"unset")), u"unset");
    EXPECT_EQ(holm::test::bytesOf(configFile_).rfind("; kept\n", 0), 0u);  // other lines stay

    // Again without clear: the same commands once more, each "%d" one more key.
    ASSERT_TRUE(writer_->commit());
    core_->reloadConfig();
    EXPECT_EQ(std::u16string(config_->readString(u"DEMO", u"Path3", u"")), u"/b");
}

TEST_F(ConfigWriteCoreTest, ARefusedCommandChangesNothingAndIsLogged) {
    const std::string before = holm::test::bytesOf(configFile_);
    writer_->setValue(u"DEMO", u"Level", u"5");
    writer_->setValue(u"DE]MO", u"Level", u"5");
    EXPECT_TRUE(writer_->commit());  // the updater ran; how it ended is logged
    EXPECT_EQ(holm::test::bytesOf(configFile_), before);
    bool logged = false;
    for (const auto& line : host_.logLines()) {
        logged = logged || line.find(u"ended with exit code 3") != std::u16string::npos;
    }
    EXPECT_TRUE(logged);
    EXPECT_EQ(filesInTemp(), 0u);
}

}  // namespace

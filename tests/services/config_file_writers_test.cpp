// The configuration library's own writes and the updater's keep the file's
// owner and mode, take the same writers' lock with a bounded wait, and do
// not undo one another's changes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/cfglib_abi.h"
#include "common/utf16.h"
#include "platform/shared_library.h"
#include "product/cfglib/config_file.h"
#include "product/cfglib/ini_document.h"
#include "product/cfgupdate/update_commands.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t kLockHeld = 32;

// The configuration library, loaded as the service loads it, with one
// configuration open on `file`.
class CfgLibModule {
  public:
    explicit CfgLibModule(const fs::path& file) {
        auto loaded = holm::platform::SharedLibrary::open(HOLM_CFGLIB_LIBRARY);
        if (!loaded) {
            return;
        }
        module_ = std::move(*loaded);
        auto init = reinterpret_cast<CfgLibInitFn>(module_.symbol("CfgLib_Dll_Init"));
        done_ = reinterpret_cast<CfgLibDoneFn>(module_.symbol("CfgLib_Dll_Done"));
        write_ = reinterpret_cast<CfgLibWriteStringFn>(module_.symbol("CfgLib_Dll_WriteString"));
        if (init == nullptr || done_ == nullptr || write_ == nullptr ||
            init(&handle_, holm::common::utf8ToUtf16(file.string()).c_str(), 0) != 0) {
            handle_ = nullptr;
        }
    }
    ~CfgLibModule() {
        if (handle_ != nullptr) {
            done_(&handle_);
        }
    }
    bool ready() const { return handle_ != nullptr; }
    int32_t write(const char16_t* path, const char16_t* value) {
        return write_(handle_, path, value, 0);
    }

  private:
    holm::platform::SharedLibrary module_;
    CfgLibHandle handle_ = nullptr;
    CfgLibDoneFn done_ = nullptr;
    CfgLibWriteStringFn write_ = nullptr;
};

class ConfigFileWritersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        config_ = dir_.write("holm.conf", "[HOLM]\nLevel=1\n");
        commands_ = dir_.path() / "commands.tmp";
    }
    int update(const std::string& command) {
        std::ofstream(commands_, std::ios::trunc) << "[UPDINI]\nCmd0=" << command << "\n";
        return holm::product::cfgupdate::updateConfiguration(commands_.string(), config_.string())
            .exitCode;
    }
    std::u16string stored(std::u16string_view path) const {
        const auto document =
            holm::product::cfglib::IniDocument::parse(holm::test::bytesOf(config_));
        const auto value = document.find(path);
        return value ? std::u16string(*value) : u"<none>";
    }

    holm::test::TempDir dir_;
    fs::path config_;
    fs::path commands_;
};

TEST_F(ConfigFileWritersTest, BothWritersKeepOwnerAndMode) {
    if (!holm::test::canGiveAwayFiles()) {
        GTEST_SKIP() << "needs the right to give files away";
    }
    ASSERT_TRUE(holm::test::giveToAnotherUser(config_));
    ASSERT_EQ(::chmod(config_.string().c_str(), 0644), 0);
    CfgLibModule library(config_);
    ASSERT_TRUE(library.ready());
    ASSERT_EQ(library.write(u"HOLM\\Level", u"2"), 0);
    ASSERT_EQ(update("HOLM:Other=3"), holm::product::cfgupdate::kExitApplied);
    struct stat info {};
    ASSERT_EQ(::stat(config_.string().c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, holm::test::kAnotherUser);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST_F(ConfigFileWritersTest, NeitherWriterUndoesTheOthersChange) {
    CfgLibModule library(config_);
    ASSERT_TRUE(library.ready());
    ASSERT_EQ(update("HOLM:FromUpdater=1"), holm::product::cfgupdate::kExitApplied);
    ASSERT_EQ(library.write(u"HOLM\\FromLibrary", u"1"), 0);
    EXPECT_EQ(stored(u"HOLM\\FromUpdater"), u"1");
    EXPECT_EQ(stored(u"HOLM\\FromLibrary"), u"1");
}

TEST_F(ConfigFileWritersTest, AHeldLockMakesBothWritersGiveUpWithoutChange) {
    CfgLibModule library(config_);
    ASSERT_TRUE(library.ready());
    const std::string before = holm::test::bytesOf(config_);
    {
        auto held = holm::product::cfglib::ConfigurationLock::acquire(config_.string());
        ASSERT_TRUE(held.ok());
        EXPECT_EQ(library.write(u"HOLM\\Level", u"2"), kLockHeld);
        EXPECT_EQ(update("HOLM:Level=3"), holm::product::cfgupdate::kExitConfigWriteError);
    }
    EXPECT_EQ(holm::test::bytesOf(config_), before);
    EXPECT_EQ(library.write(u"HOLM\\Level", u"2"), 0);
    EXPECT_EQ(stored(u"HOLM\\Level"), u"2");
}

}  // namespace

// The binding to the configuration library, each case with a binding and a
// product directory of its own: a library missing, unsigned, incomplete or
// whose Init fails leaves every read at its default, and a failed binding is
// not tried again.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "common/utf16.h"
#include "services/config_store.h"
#include "support/signing_support.h"
#include "support/test_support.h"
#include "utilities/master_text_reader.h"
#include "utilities/product_settings.h"

namespace {

namespace fs = std::filesystem;
namespace util = Tandro::Utilities;
using holm::services::CCfgLibBinding;
using holm::services::CConfigStore;

class Settings : public util::IProductSettings {
  public:
    Settings(fs::path product, std::u16string configFile)
        : product_(std::move(product)), configFile_(std::move(configFile)) {}
    std::u16string getProductRegistryKey() const override { return u"SOFTWARE\\Test"; }
    std::u16string getProductDirectory() const override {
        return holm::common::utf8ToUtf16(product_.string() + "/");
    }
    std::u16string getDataDirectory() const override {
        return holm::common::utf8ToUtf16(product_.string() + "/");
    }
    std::u16string getConfigurationFile() const override { return configFile_; }

  private:
    fs::path product_;
    std::u16string configFile_;
};

class Masters : public util::IMasterTextReader {
  public:
    std::u16string getText(std::u16string_view name) const override {
        return name == u"#FN_CFGLIB" ? u"libholmcfg.so" : u"";
    }
};

class CfgLibBindingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        product_.write("holm.conf", "[COMMON]\nCount=5\n");
        library_ = product_.path() / "libholmcfg.so";
    }
    std::unique_ptr<CConfigStore> store(std::u16string configFile = u"") {
        if (configFile.empty()) {
            configFile = holm::common::utf8ToUtf16((product_.path() / "holm.conf").string());
        }
        settings_ = std::make_unique<Settings>(product_.path(), configFile);
        return std::make_unique<CConfigStore>(*settings_, std::make_shared<Masters>(), binding_);
    }
    void installLibrary(bool sign) {
        fs::copy_file(HOLM_CFGLIB_LIBRARY, library_, fs::copy_options::overwrite_existing);
        if (sign) {
            holm::test::signFileWith(library_, holm::test::productSigningKey());
        }
    }

    holm::test::TempDir product_;
    fs::path library_;
    std::unique_ptr<Settings> settings_;
    CCfgLibBinding binding_;
};

TEST_F(CfgLibBindingTest, SignedLibraryIsBoundAndReads) {
    installLibrary(true);
    EXPECT_EQ(store()->readInt(u"COMMON", u"Count", 1), 5);
    EXPECT_TRUE(binding_.bound());
}

TEST_F(CfgLibBindingTest, MissingLibraryGivesDefaultsAndIsNotRetried) {
    auto config = store();
    EXPECT_EQ(config->readInt(u"COMMON", u"Count", 1), 1);
    EXPECT_EQ(config->readString(u"COMMON", u"Name", u"d"), u"d");
    EXPECT_TRUE(binding_.loadAttempted());
    installLibrary(true);  // arrives later: not loaded any more
    EXPECT_EQ(config->readInt(u"COMMON", u"Count", 1), 1);
    EXPECT_FALSE(binding_.bound());
}

TEST_F(CfgLibBindingTest, UnsignedIncompleteOrFailingLibraryStaysUnbound) {
    installLibrary(false);
    EXPECT_EQ(store()->readInt(u"COMMON", u"Count", 1), 1);
    EXPECT_FALSE(binding_.bound());

    CCfgLibBinding incomplete;
    fs::copy_file(HOLM_TEST_RESOURCE_MODULE, library_, fs::copy_options::overwrite_existing);
    holm::test::signFileWith(library_, holm::test::productSigningKey());
    Settings settings(product_.path(), u"/nonexistent.conf");
    CConfigStore withoutEntryPoints(settings, std::make_shared<Masters>(), incomplete);
    EXPECT_EQ(withoutEntryPoints.readInt(u"COMMON", u"Count", 2), 2);
    EXPECT_FALSE(incomplete.bound());

    CCfgLibBinding failingInit;
    installLibrary(true);
    Settings noFile(product_.path(), u"");  // Init refuses an empty file name
    CConfigStore failing(noFile, std::make_shared<Masters>(), failingInit);
    EXPECT_EQ(failing.readInt(u"COMMON", u"Count", 3), 3);
    EXPECT_FALSE(failingInit.bound());
}

TEST_F(CfgLibBindingTest, BadConfigurationFilesGiveDefaults) {
    installLibrary(true);
    const fs::path directory = product_.path() / "adir";
    fs::create_directory(directory);
    auto config = store(holm::common::utf8ToUtf16(directory.string()));
    EXPECT_EQ(config->readInt(u"COMMON", u"Count", 9), 9);
    EXPECT_TRUE(binding_.bound());

    std::ofstream(product_.path() / "holm.conf", std::ios::binary)
        << std::string("\x00\xff\xfe[COMMON\n", 11) << std::string(1 << 20, 'x') << "\n";
    binding_.reload();  // still the directory: what was read stays
    EXPECT_EQ(config->readInt(u"COMMON", u"Count", 9), 9);
}

}  // namespace

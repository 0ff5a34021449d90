#include "utilities/product_services.h"

#include <gtest/gtest.h>

#include <map>

#include "security/verified_data.h"
#include "support/signing_support.h"
#include "support/test_support.h"
#include "utilities/resource_text_reader.h"

namespace Tandro::Utilities {
namespace {

using Environment = std::map<std::string, std::string>;

EnvironmentLookup lookupIn(Environment environment) {
    return [environment = std::move(environment)](const char* name) -> std::optional<std::string> {
        const auto found = environment.find(name);
        return found == environment.end() ? std::nullopt : std::optional(found->second);
    };
}

std::vector<std::byte> masterFile(const std::map<uint32_t, std::u16string>& entries) {
    return ResourceTextFile::encode(entries);
}

// Signs `path` with the test's author key and returns it as text.
std::string signedFile(const std::filesystem::path& path) {
    holm::test::signFileWith(path, holm::test::authorSigningKey());
    return path.string();
}

TEST(ProductSettingsTest, DerivesDefaultsFromTheProductDirectory) {
    const ProductSettings settings(u"/opt/holm//", lookupIn({}));
    EXPECT_EQ(settings.getProductDirectory(), u"/opt/holm/");
    EXPECT_EQ(settings.getDataDirectory(), u"/opt/holm/data/");
    EXPECT_EQ(settings.getConfigurationFile(), u"/opt/holm/data/holm.conf");
    EXPECT_EQ(settings.getProductRegistryKey(), u"SOFTWARE\\Holm\\Guard");
    EXPECT_EQ(ProductSettings(u"", lookupIn({})).getProductDirectory(), u"./");
}

TEST(ProductSettingsTest, EnvironmentOverridesEachValue) {
    const ProductSettings settings(u"/opt/holm",
                                   lookupIn({{"HOLM_PRODUCT_DIR", "/srv/h\xc3\xb6lm"},
                                             {"HOLM_DATA_DIR", "/var/lib/holm"},
                                             {"HOLM_CONFIG_FILE", "/etc/holm.conf"},
                                             {"HOLM_REGISTRY_KEY", "SOFTWARE\\Test"}}));
    EXPECT_EQ(settings.getProductDirectory(), u"/srv/h\u00f6lm/");
    EXPECT_EQ(settings.getDataDirectory(), u"/var/lib/holm/");
    EXPECT_EQ(settings.getConfigurationFile(), u"/etc/holm.conf");
    EXPECT_EQ(settings.getProductRegistryKey(), u"SOFTWARE\\Test");

    const ProductSettings onlyProduct(
        u"/opt/holm", lookupIn({{"HOLM_PRODUCT_DIR", "/srv/holm"}, {"HOLM_DATA_DIR", ""}}));
    EXPECT_EQ(onlyProduct.getDataDirectory(), u"/srv/holm/data/");  // empty counts as unset
}

TEST(SwitchSetTest, ReadsIdsFromEnvironmentOrDataFile) {
    EXPECT_EQ(parseSwitchIds("3,17 42\n# 5\n8 # 9\nx, 12y, 99999999999, 7"),
              (std::set<uint32_t>{3, 17, 42, 8, 7}));

    holm::test::TempDir dir;
    dir.write("features.txt", "3\n17\n");
    const ProductSettings settings(dir.path().u16string(),
                                   lookupIn({{"HOLM_DATA_DIR", dir.path().string()}}));
    const auto fromFile = SwitchSet::features(settings, lookupIn({}));
    EXPECT_TRUE(fromFile.isFeatureEnabled(17));
    EXPECT_FALSE(fromFile.isFeatureEnabled(4));
    const auto fromEnvironment = SwitchSet::features(settings, lookupIn({{"HOLM_FEATURES", "4"}}));
    EXPECT_TRUE(fromEnvironment.isFeatureEnabled(4));
    EXPECT_FALSE(fromEnvironment.isFeatureEnabled(17));
    EXPECT_FALSE(SwitchSet::modules(settings, lookupIn({})).isModuleAvailable(3));  // no file
}

TEST(MasterTextReaderTest, MapsNamesIgnoringCaseOfAtoZ) {
    const auto bytes = masterFile({{1, u"Library$#FN_CFGLIB$libholmcfg.so"},
                                   {2, u""},
                                   {3, u"$#EMPTY$"},
                                   {4, u"Dup$#fn_cfglib$other.so"},
                                   {5, u"Value with dollars$#REF$$#FN_CFGLIB$ x$"},
                                   {6, u"Non-ASCII$#\u00c4XX$upper"},
                                   {1000, u"beyond the range, not even checked"}});
    const MasterTextReader reader{ResourceTextFile(bytes)};
    EXPECT_EQ(reader.getText(u"#fn_CfgLib"), u"libholmcfg.so");  // lower entry wins
    EXPECT_EQ(reader.getText(u"#EMPTY"), u"");
    EXPECT_EQ(reader.getText(u"#REF"), u"$#FN_CFGLIB$ x$");
    EXPECT_EQ(reader.getText(u"#\u00c4xx"), u"upper");
    EXPECT_EQ(reader.getText(u"#\u00e4XX"), u"");  // only A-Z fold
    EXPECT_EQ(reader.getText(u"FN_CFGLIB"), u"");
    EXPECT_EQ(reader.getText(u"#UNKNOWN"), u"");
}

TEST(MasterTextReaderTest, EntryWithoutTwoDollarsFailsTheOpen) {
    for (const char16_t* bad : {u"no dollar at all", u"one$#DOLLAR"}) {
        const auto bytes = masterFile({{1, u"ok$#A$a"}, {999, bad}});
        EXPECT_THROW(MasterTextReader{ResourceTextFile(bytes)}, MasterTextError);
    }
}

TEST(ResourceTextReaderTest, LoadsTextsAndThrowsForUnreadableFiles) {
    holm::test::TempDir dir;
    const auto bytes = ResourceTextFile::encode({{228, u"INFO;WARNING"}});
    dir.write("holmmsg.dll",
              std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    holm::security::TrustStore trust;
    trust.add(holm::test::authorSigningKey().publicKey());
    const ResourceTextReader reader(ResourceTextFile(holm::security::VerifiedData::open(
        signedFile(dir.path() / "holmmsg.dll"), trust, holm::security::FileRole::Plugin)));
    EXPECT_EQ(reader.LoadStringW(228), u"INFO;WARNING");
    EXPECT_EQ(reader.LoadStringW(581), u"");
    // Read by path, a file must verify against the system's keys.
    EXPECT_THROW(ResourceTextReader((dir.path() / "holmmsg.dll").u16string(),
                                    holm::security::FileRole::Plugin),
                 std::runtime_error);
    EXPECT_THROW(ResourceTextReader((dir.path() / "missing.dll").u16string(),
                                    holm::security::FileRole::Plugin),
                 std::runtime_error);
    dir.write("bad.dll", "HOLMRES");
    EXPECT_THROW(ResourceTextReader(ResourceTextFile(holm::security::VerifiedData::open(
                     signedFile(dir.path() / "bad.dll"), trust, holm::security::FileRole::Plugin))),
                 std::runtime_error);
}

TEST(ProductServicesTest, ContainerServesSettingsSwitchesAndMasterTexts) {
    holm::test::TempDir dir;
    const auto bytes = masterFile({{1, u"Library$#FN_CFGLIB$libholmcfg.so"}});
    const auto texts = dir.write(
        "CommonTextRc.dll", std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    holm::test::signFileWith(texts, holm::test::productSigningKey());
    DiContainer container;
    RegisterProductServices(container, dir.path().u16string(), lookupIn({{"HOLM_MODULES", "5"}}));
    container.Initialize();
    EXPECT_EQ(container.Get<IProductSettings>()->getProductDirectory(),
              dir.path().u16string() + u"/");
    EXPECT_TRUE(container.Get<IModuleList>()->isModuleAvailable(5));
    EXPECT_FALSE(container.Get<IFeatureControlReader>()->isFeatureEnabled(5));
    EXPECT_EQ(container.Get<IMasterTextReader>()->getText(u"#fn_cfglib"), u"libholmcfg.so");
}

// The master texts are a product file: read only after their signature by
// the product key verified, from the very bytes that were verified.
TEST(ProductServicesTest, MasterTextsNeedTheProductKeysSignature) {
    const auto bytes = masterFile({{1, u"Library$#FN_CFGLIB$libholmcfg.so"}});
    const std::string content(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    for (const bool signedByAuthor : {false, true}) {
        holm::test::TempDir dir;
        const auto texts = dir.write("CommonTextRc.dll", content);
        if (signedByAuthor) {
            holm::test::signFileWith(texts, holm::test::authorSigningKey());
        }
        try {
            MasterTextReader::openInDirectory(dir.path().u16string());
            ADD_FAILURE() << "read unverified master texts";
        } catch (const MasterTextError& error) {
            const std::string why = error.what();
            EXPECT_NE(why.find(signedByAuthor ? "untrusted key" : "no signature"),
                      std::string::npos)
                << why;
        }
    }
}

TEST(ProductServicesTest, MissingMasterTextLibraryFailsCreation) {
    holm::test::TempDir dir;
    DiContainer container;
    RegisterProductServices(container, dir.path().u16string(), lookupIn({}));
    container.Initialize();
    EXPECT_THROW(container.Get<IMasterTextReader>(), std::logic_error);
    EXPECT_TRUE(container.Get<IProductSettings>());
}

}  // namespace
}  // namespace Tandro::Utilities

#include "services/res_string.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <thread>

#include "hlmplg/interface_ids.h"
#include "platform/errors.h"
#include "services/factory.h"
#include "services/master_text_expansion.h"
#include "services/res_string2.h"
#include "support/signing_support.h"
#include "support/test_support.h"
#include "utilities/resource_text_file.h"

namespace holm::services {
namespace {

namespace fs = std::filesystem;
using Texts = std::map<uint32_t, std::u16string>;
using Tandro::Utilities::ResourceTextFile;

constexpr uint32_t kResourceDataNotFound = 1812;

const Texts kMasters = {
    {1, u"A file$#A_FILE$Data/Mixed.Case"},
    {2, u"Name$#NAME$Guard"},
    {3, u"Full name$#FULL$$#NAME$ for $#OS$"},
    {4, u"System$#OS$Linux"},
    {5, u"Loop$#LOOP$<$#LOOP$>"},
    {6, u"Unknown$#UNKNOWN$see $#NOWHERE$"},
    {7, u"Root$#ROOT_CU$0x80000001"},
    {8, u"Short root$#ROOT_SHORT$0x8000000"},
    {9, u"Root and more$#ROOT_60$0x80000060 trailing"},
    {10, u"Other root$#ROOT_OTHER$0x80000007"},
    {11, u"Format$#GREETING$Hello %s, %d"},
    {12, u"Long$#LONG$" + std::u16string(300, u'm')},
};

class ResStringTest : public ::testing::Test {
  protected:
    void SetUp() override { writeMasters(kMasters); }

    void writeLibrary(const std::string& name, const Texts& texts, bool sign = true) const {
        const auto bytes = ResourceTextFile::encode(texts);
        const auto path = dir_.write(
            name, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        if (sign) {
            test::signFileWith(path, test::productSigningKey());
        }
    }
    void writeMasters(const Texts& texts) const { writeLibrary("CommonTextRc.dll", texts); }

    std::u16string directory() const { return dir_.path().u16string() + u"/"; }

    test::TempDir dir_;
    MasterTextLibrary state_{dir_.path().u16string()};
};

TEST_F(ResStringTest, MasterTextsExpandTheirReferences) {
    CResStringImplEx texts(state_, u"");
    EXPECT_EQ(std::u16string(texts.getText(u"#full")), u"Guard for Linux");
    EXPECT_EQ(std::u16string(texts.getText(u"#UNKNOWN")), u"see $#NOWHERE$");
    EXPECT_EQ(std::u16string(texts.getText(u"#MISSING")), u"");
    EXPECT_EQ(std::u16string(texts.getText(nullptr)), u"");

    // A cycle ends at the depth limit, the last reference kept as written:
    // the value itself, then one more value per level of references.
    const std::u16string loop = texts.getText(u"#LOOP");
    std::u16string expected = u"$#LOOP$";
    for (int depth = 0; depth <= kMaxReferenceDepth; ++depth) {
        expected = u"<" + expected + u">";
    }
    EXPECT_EQ(loop, expected);
}

TEST_F(ResStringTest, ExpansionIsBoundedWhenReferencesMultiply) {
    // Every level refers to the next twice: 2^16 copies without a bound.
    const auto lookup = [](std::u16string_view) -> std::optional<std::u16string> {
        return u"$#X$$#X$0123456789";
    };
    const std::u16string out = expandMasterReferences(u"$#X$", lookup);
    EXPECT_LT(out.size(), kMaxExpandedUnits + 64 * kMaxReferenceDepth);
    EXPECT_GE(out.size(), kMaxExpandedUnits);
}

TEST_F(ResStringTest, RegistryRoots) {
    CResStringImplEx texts(state_, u"");
    EXPECT_EQ(texts.getRegistryRoot(u"#ROOT_CU"), 0x80000001u);
    EXPECT_EQ(texts.getRegistryRoot(u"#ROOT_60"), 0x80000060u);
    EXPECT_EQ(texts.getRegistryRoot(u"#ROOT_SHORT"), 0x80000002u);
    EXPECT_EQ(texts.getRegistryRoot(u"#ROOT_OTHER"), 0x80000002u);
    EXPECT_EQ(texts.getRegistryRoot(u"#MISSING"), 0x80000002u);
    EXPECT_EQ(texts.getRegistryRoot(nullptr), 0x80000002u);
}

TEST_F(ResStringTest, FilePathsKeepTheirCase) {
    CResStringImplEx texts(state_, u"");
    EXPECT_EQ(std::u16string(texts.getFilePath(u"#A_FILE")), directory() + u"Data/Mixed.Case");
    EXPECT_EQ(std::u16string(texts.getFilePath(u"Plain.TXT")), directory() + u"Plain.TXT");
    EXPECT_EQ(std::u16string(texts.getFilePath(u"#MISSING")), u"");
}

TEST_F(ResStringTest, RegistryKeyFromTheProductOrTheMasterText) {
    writeMasters({{1, u"Key$#REGMASTERKEY$SOFTWARE\\Master"}});
    EXPECT_EQ(std::u16string(CResStringImplEx(state_, u"SOFTWARE\\Product").getMasterRegistryKey()),
              u"SOFTWARE\\Product");
    EXPECT_EQ(std::u16string(CResStringImplEx(state_, u"").getMasterRegistryKey()),
              u"SOFTWARE\\Master");
    EXPECT_EQ(
        std::u16string(CResStringImplEx(state_, std::u16string(129, u'k')).getMasterRegistryKey()),
        u"SOFTWARE\\Master");
}

// Each thread keeps its own result until its next call.
TEST_F(ResStringTest, ResultsArePerThread) {
    CResStringImplEx texts(state_, u"");
    // Promises rather than std::barrier: this toolchain's atomic waits can
    // lose a wake-up on Windows.
    std::promise<void> otherHasResult, thisHasResult;
    std::future<void> otherHas = otherHasResult.get_future(), thisHas = thisHasResult.get_future();
    std::u16string first, second;
    std::thread other([&] {
        const char16_t* mine = texts.getText(u"#NAME");
        otherHasResult.set_value();
        thisHas.wait();
        second = mine;
    });
    const char16_t* mine = texts.getText(u"#OS");
    thisHasResult.set_value();
    otherHas.wait();
    first = mine;
    other.join();
    EXPECT_EQ(first, u"Linux");
    EXPECT_EQ(second, u"Guard");
}

TEST_F(ResStringTest, NumberedStringsOfAVerifiedLibrary) {
    const std::u16string long300(300, u'n');
    writeLibrary("strings.dll", {{1, u"one $#NAME$"},
                                 {2, long300},
                                 {3, std::u16string(255, u'f')},
                                 {4, std::u16string(254, u'e')},
                                 {5, u"%s has %d"}});
    writeLibrary("unsigned.dll", {{1, u"never"}}, false);
    CResStringImplEx texts(state_, u"");
    EXPECT_EQ(std::u16string(texts.getTextById(1)), u"");
    ASSERT_TRUE(texts.setResourceLibrary(u"strings.dll"));  // in the product directory
    EXPECT_EQ(std::u16string(texts.getTextById(1)), u"one Guard");
    EXPECT_EQ(std::u16string(texts.getTextById(2)), long300);
    EXPECT_EQ(std::u16string(texts.getTextById(3)), std::u16string(255, u'f'));
    EXPECT_EQ(std::u16string(texts.getTextById(4)), std::u16string(254, u'e'));
    EXPECT_EQ(std::u16string(texts.getText(u"#LONG")), std::u16string(300, u'm'));
    EXPECT_EQ(std::u16string(texts.formatTextById(5, u"x", 3)), u"x has 3");
    EXPECT_EQ(std::u16string(texts.getTextById(99)), u"");

    EXPECT_FALSE(texts.setResourceLibrary(u"unsigned.dll"));
    EXPECT_FALSE(texts.setResourceLibrary(u"missing.dll"));
    EXPECT_EQ(std::u16string(texts.getTextById(1)), u"one Guard");  // the library stays

    EXPECT_FALSE(texts.setResourceModule(nullptr));
    int notAModule = 0;
    EXPECT_FALSE(texts.setResourceModule(&notAModule));
    EXPECT_EQ(std::u16string(texts.getTextById(1)), u"one Guard");
}

TEST_F(ResStringTest, NumberedStringsOfALoadedModule) {
    void* module = holm::test::loadNativeModule(HOLM_TEST_RESOURCE_MODULE);
    ASSERT_NE(module, nullptr);
    {
        CResStringImplEx texts(state_, u"");
        ASSERT_TRUE(texts.setResourceModule(module));
        EXPECT_EQ(std::u16string(texts.getTextById(1)), u"hi");
        EXPECT_EQ(std::u16string(texts.getTextById(2)), u"Guard");
    }
    holm::test::unloadNativeModule(module);
}

TEST_F(ResStringTest, FormattingTakesLongArguments) {
    CResStringImplEx texts(state_, u"");
    const std::u16string big(64 * 1024, u'b');
    const std::u16string result = texts.formatText(u"#GREETING", big.c_str(), 7);
    EXPECT_EQ(result, u"Hello " + big + u", 7");
    EXPECT_EQ(std::u16string(texts.formatText(u"#MISSING", big.c_str())), u"");
}

TEST_F(ResStringTest, MalformedMasterTextEntryFailsTheOpen) {
    writeMasters({{1, u"Good$#GOOD$value"}, {2, u"no dollars here"}});
    platform::setLastError(0);
    CResStringImplEx texts(state_, u"");
    EXPECT_EQ(platform::lastError(), kResourceDataNotFound);
    EXPECT_EQ(std::u16string(texts.getText(u"#GOOD")), u"");
    EXPECT_EQ(texts.getRegistryRoot(u"#GOOD"), 0x80000002u);
    writeLibrary("strings.dll", {{1, u"one"}});
    EXPECT_FALSE(texts.setResourceLibrary(u"strings.dll"));
    EXPECT_EQ(platform::lastError(), kResourceDataNotFound);
}

// The library is read by the first user and closed with the last.
TEST_F(ResStringTest, LastUserClosesTheMasterTexts) {
    {
        CResStringImplEx first(state_, u"");
        writeMasters({{1, u"Name$#NAME$Changed"}});
        CResStringImplEx second(state_, u"");
        EXPECT_EQ(std::u16string(second.getText(u"#NAME")), u"Guard");
    }
    CResStringImplEx after(state_, u"");
    EXPECT_EQ(std::u16string(after.getText(u"#NAME")), u"Changed");
}

TEST_F(ResStringTest, SecondFormOverTheProductServices) {
    writeLibrary("strings.dll", {{1, u"%1 and %2!d!"}, {2, u"%s and %d"}});
    auto masters = std::make_shared<Tandro::Utilities::MasterTextReader>(ResourceTextFile(
        security::VerifiedData::open((dir_.path() / "CommonTextRc.dll").string(),
                                     security::TrustStore::system(), security::FileRole::Product)));
    ResString2 texts({directory(), u"SOFTWARE\\Product", masters, nullptr, {}});
    EXPECT_EQ(texts.getMasterText(u"#name"), u"Guard");
    EXPECT_EQ(texts.formatMasterText(u"#GREETING", u"you", 2), u"Hello you, 2");
    EXPECT_EQ(texts.getFilePath(u"#A_FILE"), directory() + u"Data/Mixed.Case");
    EXPECT_EQ(texts.loadString(1), u"");
    EXPECT_EQ(texts.getProductRegistryKey(), u"");
    EXPECT_FALSE(texts.setResourceLibrary(u"missing.dll"));
    ASSERT_TRUE(texts.setResourceLibrary(u"strings.dll"));
    EXPECT_EQ(texts.formatString(1, u"a", 5), u"a and 5");
    EXPECT_EQ(texts.formatString(2, u"b", 6), u"b and 6");
    EXPECT_EQ(texts.getProductRegistryKey(), u"SOFTWARE\\Product");
    EXPECT_FALSE(texts.setResourceLibrary(u"missing.dll"));
    EXPECT_EQ(texts.loadString(2), u"%s and %d");  // the reader stays
}

// The product's message library needs the product key whoever binds it; the
// same name in a plugin's own directory is that plugin's, which its author's
// enrolled key may sign. A refusal says why in the log.
TEST_F(ResStringTest, TheProductsMessageLibraryNeedsTheProductKey) {
    security::TrustStore trust;
    trust.add(test::productSigningKey().publicKey(), security::KeyRole::Product);
    trust.add(test::authorSigningKey().publicKey());
    std::vector<std::u16string> log;
    ResString2 texts({directory(), u"", nullptr, &trust,
                      [&](const std::u16string& line) { log.push_back(line); }});
    writeLibrary("holmmsg.dll", {{7, u"altered"}}, false);
    test::signFileWith(dir_.path() / "holmmsg.dll", test::authorSigningKey());
    EXPECT_FALSE(texts.setResourceLibrary(u"holmmsg.dll"));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], u"resource library refused: " + directory() +
                          u"holmmsg.dll: the signature is by an enrolled key, but only the "
                          u"product key may sign this file");

    const fs::path plugin = dir_.path() / "plugin";
    fs::create_directory(plugin);
    fs::copy_file(dir_.path() / "holmmsg.dll", plugin / "holmmsg.dll");
    fs::copy_file(dir_.path() / "holmmsg.dll.sig", plugin / "holmmsg.dll.sig");
    ASSERT_TRUE(texts.setResourceLibrary((plugin / "holmmsg.dll").u16string().c_str()));
    EXPECT_EQ(texts.loadString(7), u"altered");

    writeLibrary("holmmsg.dll", {{7, u"event"}});
    ASSERT_TRUE(texts.setResourceLibrary(u"holmmsg.dll"));
    EXPECT_EQ(texts.loadString(7), u"event");
}

TEST(ResStringFactory, ProviderIdsMakeTheServices) {
    for (const int32_t id : {HlmPlg::IID_RESSTRING, HlmPlg::IID_RESSTRING2}) {
        HlmPlg::IInterface* object =
            createTextService(id, {u"/nonexistent/", u"", nullptr, nullptr, {}});
        ASSERT_NE(object, nullptr);
        destroyService(object);
    }
    EXPECT_EQ(createTextService(HlmPlg::IID_CONFIG, {}), nullptr);
}

}  // namespace
}  // namespace holm::services

#include "utilities/resource_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "support/test_support.h"
#include "utilities/master_text_reader.h"
#include "utilities/resource_text_file.h"

namespace Tandro::Utilities {
namespace {

void expectTableError(const std::string& source, const char* reasonPart) {
    try {
        parseResourceTable(source);
        ADD_FAILURE() << "accepted: " << source;
    } catch (const ResourceTableError& error) {
        EXPECT_NE(std::strstr(error.what(), reasonPart), nullptr) << error.what();
    }
}

std::string readSource(const char* name) {
    std::ifstream in(holm::test::sourceDir() / "product" / "resources" / name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ResourceTableTest, ParsesEntriesEscapesAndComments) {
    const auto texts = parseResourceTable(
        "# comment\n"
        "\n"
        "   # indented comment\n"
        "1\tplain text\r\n"
        "2     after blanks, keeps # and $ and trailing blank \n"
        "3\tline\\nbreak\\ttab\\\\backslash\\r\n"
        "4\n"
        "4294967295\t\xc3\xa9\xf0\x9f\x98\x80");
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts.at(1), u"plain text");
    EXPECT_EQ(texts.at(2), u"after blanks, keeps # and $ and trailing blank ");
    EXPECT_EQ(texts.at(3), u"line\nbreak\ttab\\backslash\r");
    EXPECT_EQ(texts.at(4), u"");
    EXPECT_EQ(texts.at(4294967295u), u"\u00e9\U0001F600");
}

TEST(ResourceTableTest, RejectsMalformedLinesNamingTheLine) {
    expectTableError("1\tok\n1\tagain\n", "line 2: id 1 appears twice");
    expectTableError("12abc text\n", "line 1: expected a decimal id");
    expectTableError("-1 text\n", "expected a decimal id");
    expectTableError("4294967296 text\n", "expected a decimal id");
    expectTableError("text without id\n", "expected a decimal id");
    expectTableError("5\tbad \\q escape\n", "unknown escape");
    expectTableError("5\tdangling \\", "backslash at the end");
    expectTableError("# ok\n5\t\xc3\x28\n", "line 2: text is not valid UTF-8");
    expectTableError("5\t\xed\xa0\x80\n", "not valid UTF-8");  // an encoded surrogate
}

TEST(ResourceTableTest, EscapedListingParsesBackToTheSameText) {
    const std::u16string text = u"a\\b\nc\td\re \u00e9";
    const auto texts = parseResourceTable("9\t" + escapeResourceText(text));
    EXPECT_EQ(texts.at(9), text);
}

TEST(ResourceTableTest, ProductMessagesBuildAndReadBack) {
    const auto bytes = ResourceTextFile::encode(parseResourceTable(readSource("holmmsg.txt")));
    const ResourceTextFile file(bytes);
    EXPECT_EQ(file.find(228), u"INFO;WARNING;ERROR;DETECTION");
    for (uint32_t id : {2u, 581u, 582u, 583u}) {
        const auto text = file.find(id);
        ASSERT_TRUE(text) << id;
        EXPECT_NE(text->find(u"%s"), std::u16string::npos) << id;  // the plugin's name
    }
}

TEST(ResourceTableTest, ProductMasterTextsBuildAndResolve) {
    // The master texts as the build completed them for this system.
    std::ifstream in(HOLM_MASTER_TEXTS_SOURCE, std::ios::binary);
    ASSERT_TRUE(in) << HOLM_MASTER_TEXTS_SOURCE;
    const std::string source(std::istreambuf_iterator<char>(in), {});
    const auto bytes = ResourceTextFile::encode(parseResourceTable(source));
    const MasterTextReader masters{ResourceTextFile(bytes)};
    EXPECT_EQ(masters.getText(u"#FN_CFGLIB"), u"libholmcfg" HOLM_TEST_LIBRARY_SUFFIX);
    EXPECT_EQ(masters.getText(u"#FN_CORE"), u"libholmcore" HOLM_TEST_LIBRARY_SUFFIX);
    EXPECT_EQ(masters.getText(u"#FN_AVCONFIG"), u"holm-cfgupdate" HOLM_TEST_PROGRAM_SUFFIX);
    EXPECT_EQ(masters.getText(u"#FN_HOST"), u"avholm" HOLM_TEST_PROGRAM_SUFFIX);
    EXPECT_NE(masters.getText(u"#DEF_FN_FW_SQLITE").find(u"sqlite3"), std::u16string::npos);
    EXPECT_EQ(masters.getText(u"#REGMASTERKEY"), u"SOFTWARE\\Holm\\Guard");
}

}  // namespace
}  // namespace Tandro::Utilities

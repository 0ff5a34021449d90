// INI and text files written through the core keep what they were: the
// bytes of lines nobody changed, encoding, mark and line ends; names and values that would change
// the file's structure are refused; oversized files are refused and never replaced; a clash with
// another holder of the file ends in a refusal, never in a hang.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "containers/ini_file.h"
#include "containers/string_list.h"
#include "containers/text_file.h"
#include "support/test_support.h"

namespace {

using holm::containers::CIniFileImpl;
using holm::containers::CStringListImpl;
using holm::containers::CTxtFileImpl;

namespace fs = std::filesystem;
using holm::test::bytesOf;
using holm::test::u16;

constexpr uint32_t kHeldByAnother = 32;
constexpr uint32_t kOverTheLimit = 223;

class FileKeepingTest : public ::testing::Test {
  protected:
    holm::test::TempDir dir_;
};

TEST_F(FileKeepingTest, BlockModeReadAndCloseLosesNoByte) {
    // Files already in the written form: Latin-1 bytes that are no UTF-8 (in
    // a leading comment, a header and a value), a UTF-8 mark before the
    // first section, a UTF-16 file.
    const std::string latin1 =
        "# Stra\xdf"
        "e\r\n[M\xfcller]\r\nname=\xfc\xdf\xe9\r\nplain=1\r\n\r\n";
    const struct {
        std::string bytes;
        std::u16string section;
        std::u16string value;
    } files[] = {
        {latin1, u"M\ufffdller", u"1"},
        {"\xEF\xBB\xBF[First]\r\nplain=2\r\n\r\n", u"First", u"2"},
        {holm::test::utf16File(u"[Wide]\r\nplain=3\r\n\r\n"), u"Wide", u"3"},
    };
    for (const auto& original : files) {
        const fs::path file = dir_.write("read.ini", original.bytes);
        CIniFileImpl ini;
        ASSERT_TRUE(ini.open(u16(file).c_str(), true));
        EXPECT_EQ(std::u16string(ini.getString(original.section.c_str(), u"plain", u"")),
                  original.value);
        ASSERT_TRUE(ini.close());
        EXPECT_EQ(bytesOf(file), original.bytes);
    }

    // Changing another key keeps the undecodable line as it was; changing
    // the line itself writes the new text.
    const fs::path file = dir_.write("latin1.ini", latin1);
    const struct {
        const char16_t* key;
        const char16_t* value;
        std::string after;
    } changes[] = {
        {u"plain", u"2", "name=\xfc\xdf\xe9\r\nplain=2\r\n\r\n"},
        {u"name", u"\u00fc", "name=\xc3\xbc\r\nplain=2\r\n\r\n"},
    };
    for (const auto& change : changes) {
        CIniFileImpl ini;
        ASSERT_TRUE(ini.open(u16(file).c_str(), true));
        ASSERT_TRUE(ini.setString(u"M\ufffdller", change.key, change.value));
        ASSERT_TRUE(ini.close());
        EXPECT_EQ(bytesOf(file),
                  "# Stra\xdf"
                  "e\r\n[M\xfcller]\r\n" +
                      change.after);
    }
}

TEST_F(FileKeepingTest, BlockModeRefusesWhatWouldChangeTheFilesStructure) {
    const fs::path file = dir_.write("strict.ini", "[Settings]\r\nDisableScan=0\r\n\r\n");
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(u16(file).c_str(), true));
    EXPECT_FALSE(ini.setString(u"A", u"k", u"x\n[Settings]\nDisableScan=1"));
    EXPECT_FALSE(ini.setString(u"A", u"k", u"x\r"));
    EXPECT_FALSE(ini.setString(u"A", u"k\nl", u"x"));
    EXPECT_FALSE(ini.setString(u"A", u"k=l", u"x"));
    EXPECT_FALSE(ini.setString(u"A", u"[B", u"x]"));
    EXPECT_FALSE(ini.setString(u"A", u" #k", u"x"));
    EXPECT_FALSE(ini.setString(u"A]B", u"k", u"x"));
    EXPECT_FALSE(ini.setString(u"A\r\nB", u"k", u"x"));
    EXPECT_FALSE(ini.setString(u"", u"k", u"x"));
    // A null key is the empty key, and reads back as one.
    EXPECT_TRUE(ini.setString(u"A", nullptr, u"empty"));
    ASSERT_TRUE(ini.close());
    EXPECT_EQ(bytesOf(file), "[Settings]\r\nDisableScan=0\r\n\r\n[A]\r\n=empty\r\n\r\n");
    ASSERT_TRUE(ini.open(u16(file).c_str(), true));
    EXPECT_EQ(std::u16string(ini.getString(u"A", u"", u"")), u"empty");
    EXPECT_EQ(std::u16string(ini.getString(u"Settings", u"DisableScan", u"")), u"0");
}

TEST_F(FileKeepingTest, ProfileEditsKeepTheFilesLineEnds) {
    // LF only stays LF; any CR LF (or none yet) gives CR LF.
    const std::pair<std::string, std::string> files[] = {
        {"[S]\na=1\n", "[S]\na=1\nb=2\n\n[T]\nc=3\n"},
        {"[S]\na=1\r\n", "[S]\na=1\r\nb=2\r\n\r\n[T]\r\nc=3\r\n"},
        {"", "[S]\r\nb=2\r\n\r\n[T]\r\nc=3\r\n"},
    };
    for (const auto& [before, after] : files) {
        const fs::path path = dir_.write("ends.ini", before);
        CIniFileImpl edits;
        for (const char16_t* section : {u"S", u"T"}) {
            ASSERT_TRUE(edits.open(u16(path).c_str(), false) &&
                        edits.setString(section, section[0] == u'S' ? u"b" : u"c",
                                        section[0] == u'S' ? u"2" : u"3"));
        }
        EXPECT_EQ(bytesOf(path), after);
    }
}

TEST_F(FileKeepingTest, AFileOverTheLimitIsRefusedAtOnceAndNeverReplaced) {
    const fs::path file = dir_.write("huge.ini", "[S]\r\nk=1\r\n");
    // Sparse: the size is there, the disk space is not.
    fs::resize_file(file, CTxtFileImpl::kMaxFileSize + 1);
    const auto before = fs::file_size(file);

    CTxtFileImpl text;
    CStringListImpl lines;
    ASSERT_TRUE(text.open(u16(file).c_str(), false));
    EXPECT_FALSE(text.readLines(&lines));
    EXPECT_EQ(text.getLastError(), kOverTheLimit);
    EXPECT_EQ(lines.getCount(), 0);
    text.close();

    CIniFileImpl ini;
    EXPECT_FALSE(ini.open(u16(file).c_str(), true));
    EXPECT_TRUE(ini.setString(u"S", u"k", u"2"));
    EXPECT_FALSE(ini.setString(nullptr, nullptr, nullptr));
    EXPECT_FALSE(ini.close());
    EXPECT_EQ(fs::file_size(file), before);
    std::string start(10, '\0');
    std::ifstream(file, std::ios::binary).read(start.data(), 10);
    EXPECT_EQ(start, "[S]\r\nk=1\r\n");
}

TEST_F(FileKeepingTest, AProfileWriteBesideAnOpenTextFileReturns) {
    const fs::path file = dir_.write("held.ini", "[S]\r\nk=1\r\n");
    CTxtFileImpl reader;
    ASSERT_TRUE(reader.open(u16(file).c_str(), false));
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(u16(file).c_str(), false));
    EXPECT_FALSE(ini.setString(u"S", u"k", u"2"));  // on this very thread
    // The text file's own writes answer the clash at once.
    CTxtFileImpl writer;
    EXPECT_FALSE(writer.create(u16(file).c_str(), false, false));
    EXPECT_EQ(writer.getLastError(), kHeldByAnother);
    reader.close();
    EXPECT_EQ(bytesOf(file), "[S]\r\nk=1\r\n");
    EXPECT_TRUE(ini.setString(u"S", u"k", u"2"));
}

}  // namespace

#include "containers/ini_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "containers/factory.h"
#include "containers/string_list.h"
#include "hlmplg/interface_ids.h"
#include "support/io_faults.h"
#include "support/test_support.h"

namespace {

using holm::containers::CIniFileImpl;
using holm::containers::CStringListImpl;

namespace fs = std::filesystem;
using Strings = std::vector<std::u16string>;

using holm::test::bytesOf;
using holm::test::utf16File;

Strings stringsOf(HlmPlg::IStringList& list) {
    Strings strings;
    std::unique_ptr<HlmPlg::IStringList::Iterator> iterator(list.createIterator());
    for (auto* text = iterator->first(); text != nullptr; text = iterator->next()) {
        strings.emplace_back(text);
    }
    return strings;
}

std::u16string textOf(const char16_t* text) {
    return text != nullptr ? text : u"<null>";
}

class IniFileTest : public ::testing::Test {
  protected:
    fs::path write(const std::string& name, const std::string& content) const {
        return dir_.write(name, content);
    }
    fs::path path(const std::string& name) const { return dir_.path() / name; }

    holm::test::TempDir dir_;
};

// --- block mode ---------------------------------------------------------

TEST_F(IniFileTest, BlockModeRewritesTheFileInItsCanonicalForm) {
    const auto file = write("a.ini", "x=1\r\n[A]\r\nb=2\r\na=1\r\n# c\r\n[a]\r\nc=3\r\n");
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(file.u16string().c_str(), true));
    // Section names compare with A-Z folded: the second record has c.
    EXPECT_EQ(textOf(ini.getString(u"A", u"c", nullptr)), u"3");
    EXPECT_EQ(textOf(ini.getString(u"A", u"B", nullptr)), u"2");
    EXPECT_EQ(ini.getString(u"A", u"x", nullptr), nullptr);
    ASSERT_TRUE(ini.close());
    // The 8-bit file stays 8-bit; keys sorted, comment dropped.
    EXPECT_EQ(bytesOf(file), "x=1\r\n[A]\r\na=1\r\nb=2\r\n\r\n[a]\r\nc=3\r\n\r\n");
    // After close the store is empty and has no path.
    EXPECT_EQ(textOf(ini.getString(u"A", u"c", u"gone")), u"gone");
    EXPECT_FALSE(ini.close());
}

TEST_F(IniFileTest, BlockModeLineRules) {
    const auto file = write("rules.ini",
                            "; not a comment=1\n# comment\n[]\nlost=1\n  [[S]]  \n k = v \n"
                            "noequals\nK2=first\nk2=second\n;semi=2\n#hash=3\n=empty key\n");
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(file.u16string().c_str(), true));
    // Only spaces around the line are dropped; around "=" they stay.
    EXPECT_EQ(textOf(ini.getString(u"S", u"k ", nullptr)), u" v");
    EXPECT_EQ(ini.getString(u"S", u"k", nullptr), nullptr);
    EXPECT_EQ(textOf(ini.getString(u"S", u";semi", nullptr)), u"2");
    EXPECT_EQ(ini.getString(u"S", u"#hash", nullptr), nullptr);
    EXPECT_EQ(textOf(ini.getString(u"S", u"", nullptr)), u"empty key");
    EXPECT_EQ(ini.getString(u"", u"lost", nullptr), nullptr);
    ASSERT_TRUE(ini.close());
    // Leading lines as read; a repeated key keeps its first spelling and the
    // last value.
    EXPECT_EQ(bytesOf(file),
              "; not a comment=1\r\n# comment\r\n[S]\r\n=empty key\r\n;semi=2\r\nk = v\r\n"
              "K2=second\r\n\r\n");
}

TEST_F(IniFileTest, BlockModeSetsAndRemoves) {
    const auto file = write("set.ini", "[A]\nk=1\nz=2\n[B]\nk=2\n[a]\nk=3\n");
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(file.u16string().c_str(), true));
    EXPECT_TRUE(ini.setString(u"a", u"K", u"changed"));  // first record, first spelling kept
    EXPECT_TRUE(ini.setString(u"A", u"z", nullptr));     // removes the key
    EXPECT_TRUE(ini.setString(u"b", nullptr, nullptr));  // removes the section
    EXPECT_TRUE(ini.setString(u"New", nullptr, u"v"));   // null key: the empty key
    EXPECT_FALSE(ini.setString(nullptr, u"k", u"v"));
    EXPECT_TRUE(ini.setString(u"gone", u"k", nullptr));  // nothing to remove
    ASSERT_TRUE(ini.close());
    EXPECT_EQ(bytesOf(file), "[A]\r\nk=changed\r\n\r\n[a]\r\nk=3\r\n\r\n[New]\r\n=v\r\n\r\n");
}

TEST_F(IniFileTest, BlockModeWritesOnlyOnCloseOrFlush) {
    const std::string original = "[A]\r\nk=1\r\n";
    const auto file = write("lazy.ini", original);
    {
        CIniFileImpl ini;
        ASSERT_TRUE(ini.open(file.u16string().c_str(), true));
        ASSERT_TRUE(ini.setString(u"A", u"k", u"2"));
        EXPECT_EQ(bytesOf(file), original);
    }  // destroyed without close: the change is gone
    EXPECT_EQ(bytesOf(file), original);
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(file.u16string().c_str(), true));
    ASSERT_TRUE(ini.setString(u"A", u"k", u"3"));
    ASSERT_TRUE(ini.setString(nullptr, nullptr, nullptr));
    EXPECT_EQ(bytesOf(file), "[A]\r\nk=3\r\n\r\n");
}

TEST_F(IniFileTest, BlockModeCreatesAMissingFileAsUtf16) {
    const auto file = path("new.ini");
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(file.u16string().c_str(), true));
    EXPECT_EQ(textOf(ini.getString(u"S", u"k", u"none")), u"none");
    ASSERT_TRUE(ini.setString(u"S", u"k", u"v"));
    ASSERT_TRUE(ini.close());
    EXPECT_EQ(bytesOf(file), utf16File(u"[S]\r\nk=v\r\n\r\n"));
    // Reloaded, the UTF-16 file stays UTF-16.
    ASSERT_TRUE(ini.open(file.u16string().c_str(), true));
    ASSERT_TRUE(ini.setString(u"S", u"\u00e9", u"\u4e2d"));
    ASSERT_TRUE(ini.close());
    EXPECT_EQ(bytesOf(file), utf16File(u"[S]\r\nk=v\r\n\u00e9=\u4e2d\r\n\r\n"));
}

TEST_F(IniFileTest, BlockModeLoadsHostileFilesWithoutLoss) {
    std::string hostile = "[S]\r\nlong=" + std::string(1 << 20, 'x') + "\r\nnul=a";
    hostile += std::string("\0b", 2);
    hostile += "\r\n[S]\r\nsecond=2\r\n[T]\r\nlast=no newline";
    const auto file = write("hostile.ini", hostile);
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(file.u16string().c_str(), true));
    EXPECT_EQ(std::u16string_view(textOf(ini.getString(u"S", u"long", nullptr))).size(), 1u << 20);
    EXPECT_EQ(textOf(ini.getString(u"S", u"nul", nullptr)), u"a\ufffdb");
    EXPECT_EQ(textOf(ini.getString(u"s", u"second", nullptr)), u"2");  // duplicate section
    EXPECT_EQ(textOf(ini.getString(u"T", u"last", nullptr)), u"no newline");

    // An odd byte count in a UTF-16 file: the last unit is damaged, nothing
    // is read past the file.
    const auto odd = write("odd.ini", utf16File(u"[S]\r\nk=v") + "x");
    ASSERT_TRUE(ini.open(odd.u16string().c_str(), true));
    EXPECT_EQ(textOf(ini.getString(u"S", u"k", nullptr)), u"v\ufffd");
}

TEST_F(IniFileTest, BlockModeFailedWritesLeaveTheFileAsItWas) {
    const std::string original = "[A]\r\nk=1\r\n";
    const auto file = write("faults.ini", original);
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(file.u16string().c_str(), true));
    ASSERT_TRUE(ini.setString(u"A", u"k", u"2"));
    {
        holm::test::InjectedFaults faults;
        faults.failWrite(ENOSPC);
        EXPECT_FALSE(ini.setString(nullptr, nullptr, nullptr));
        faults.failWrite(0);
        faults.failRename(EIO);
        EXPECT_FALSE(ini.setString(nullptr, nullptr, nullptr));
    }
    EXPECT_EQ(bytesOf(file), original);
    // No temporary file is left behind either.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);

    // A file that exists but could not be read is never overwritten with
    // what little was read of it.
    {
        holm::test::InjectedFaults faults;
        faults.failRead(EIO);
        ASSERT_TRUE(ini.open(file.u16string().c_str(), true));
    }
    ASSERT_TRUE(ini.setString(u"A", u"k", u"3"));
    EXPECT_FALSE(ini.close());
    EXPECT_EQ(bytesOf(file), original);
}

// --- profile mode -------------------------------------------------------

TEST_F(IniFileTest, ProfileModeCreatesANewFileAsUtf16) {
    const auto file = path("profile.ini");
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(file.u16string().c_str(), false));
    EXPECT_FALSE(fs::exists(file));  // open touches nothing
    EXPECT_EQ(textOf(ini.getString(u"S", u"k", u"dflt  ")), u"dflt");
    ASSERT_TRUE(ini.setString(u"S", u"k", u"v"));
    ASSERT_TRUE(ini.setString(u"S", u"k2", u"w"));
    EXPECT_EQ(bytesOf(file), utf16File(u"[S]\r\nk=v\r\nk2=w\r\n"));
    EXPECT_TRUE(ini.close());
}

TEST_F(IniFileTest, ProfileModeReadsLikeTheProfileFunctions) {
    const auto file = write("read.ini",
                            "top=0\n[ Main ]\n  Key  =  spaced value  \nquoted=\"  q  \"\n"
                            "single='s'\n;Key=comment\nbare line\n[main]\nKey=second\nother=2\n");
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(file.u16string().c_str(), false));
    EXPECT_EQ(textOf(ini.getString(u"MAIN", u"key", u"d")), u"spaced value");
    EXPECT_EQ(textOf(ini.getString(u"main", u"quoted", u"d")), u"  q  ");
    EXPECT_EQ(textOf(ini.getString(u"main", u"single", u"d")), u"s");
    // The first section of a name counts; lines before any header are no keys.
    EXPECT_EQ(textOf(ini.getString(u"main", u"other", u"d")), u"d");
    EXPECT_EQ(textOf(ini.getString(u"", u"top", u"d")), u"d");
    EXPECT_EQ(textOf(ini.getString(nullptr, u"top", u"d")), u"d");
}

TEST_F(IniFileTest, ProfileModeEditsOnlyWhatItMust) {
    // Invalid UTF-8, a NUL and a bare LF survive every edit byte for byte.
    std::string original = "junk \xFF\xFE\n[A]\r\nk=1\r\n; note\r\nn=";
    original += std::string("\0x", 2);
    original += "\r\n\r\n[B]\nb=1\n[C]\r\nc=1";
    const auto file = write("edit.ini", original);
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(file.u16string().c_str(), false));
    ASSERT_TRUE(ini.setString(u"a", u"K", u"2"));        // replaced in place, spelling kept
    ASSERT_TRUE(ini.setString(u"A", u"new", u"3"));      // after the last line that is not blank
    ASSERT_TRUE(ini.setString(u"B", nullptr, nullptr));  // null key: section gone
    ASSERT_TRUE(ini.setString(u"C", u"c", nullptr));     // null value: key gone
    ASSERT_TRUE(ini.setString(u"D", u"d", u"4"));        // new section at the end
    std::string expected = "junk \xFF\xFE\n[A]\r\nk=2\r\n; note\r\nn=";
    expected += std::string("\0x", 2);
    expected += "\r\nnew=3\r\n\r\n[C]\r\n\r\n[D]\r\nd=4\r\n";
    EXPECT_EQ(bytesOf(file), expected);
    EXPECT_EQ(textOf(ini.getString(u"a", u"NEW", u"")), u"3");

    // Text that would change the file's structure is refused.
    EXPECT_FALSE(ini.setString(u"A", u"k", u"1\r\n[evil]"));
    EXPECT_FALSE(ini.setString(u"A]", u"k", u"1"));
    EXPECT_FALSE(ini.setString(u"A", u"k=x", u"1"));
    EXPECT_FALSE(ini.setString(nullptr, u"k", u"1"));
    EXPECT_EQ(bytesOf(file), expected);
}

TEST_F(IniFileTest, ProfileModeKeepsUtf16FilesUtf16) {
    const auto file = write("wide.ini", utf16File(u"[S]\r\nk=\u4e2d\r\n"));
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(file.u16string().c_str(), false));
    EXPECT_EQ(textOf(ini.getString(u"s", u"K", u"")), u"\u4e2d");
    ASSERT_TRUE(ini.setString(u"S", u"j", u"\u00e9"));
    EXPECT_EQ(bytesOf(file), utf16File(u"[S]\r\nk=\u4e2d\r\nj=\u00e9\r\n"));

    // Big-endian with mark, and an odd last byte, both kept.
    std::string bigEndian = "\xFE\xFF";
    for (char16_t unit : std::u16string(u"[S]\r\nk=1")) {
        bigEndian.push_back(static_cast<char>(unit >> 8));
        bigEndian.push_back(static_cast<char>(unit & 0xFF));
    }
    const auto be = write("be.ini", bigEndian + "z");
    ASSERT_TRUE(ini.open(be.u16string().c_str(), false));
    ASSERT_TRUE(ini.setString(u"S", u"j", u"2"));
    EXPECT_EQ(bytesOf(be), bigEndian + "z" + std::string("\0\0\r\0\n\0j\0=\0002\0\r\0\n", 15));
}

TEST_F(IniFileTest, ProfileModeSeesChangesOfOtherWriters) {
    const auto file = write("shared.ini", "[S]\nk=1\n");
    CIniFileImpl reader;
    CIniFileImpl writer;
    ASSERT_TRUE(reader.open(file.u16string().c_str(), false));
    ASSERT_TRUE(writer.open(file.u16string().c_str(), false));
    EXPECT_EQ(textOf(reader.getString(u"S", u"k", u"")), u"1");
    ASSERT_TRUE(writer.setString(u"S", u"k", u"2"));
    EXPECT_EQ(textOf(reader.getString(u"S", u"k", u"")), u"2");
    write("shared.ini", "[S]\nk=333\n");  // rewritten in place by someone else
    EXPECT_EQ(textOf(reader.getString(u"S", u"k", u"")), u"333");
}

// Writers in two threads edit one file, each object replacing the file it
// holds locked. Where the system refuses to replace a held file an edit may
// fail, but no edit reported as made is lost to the other writer's.
TEST_F(IniFileTest, ProfileModeConcurrentWritersLoseNoReportedEdit) {
    const auto file = write("busy.ini", "[S]\r\n");
    constexpr int kEdits = 20;
    std::promise<void> go;
    const std::shared_future<void> start = go.get_future().share();
    std::vector<std::u16string> made[2];
    auto edit = [&](int writer) {
        CIniFileImpl ini;
        if (!ini.open(file.u16string().c_str(), false)) {
            return;
        }
        start.wait();
        for (int i = 0; i < kEdits; ++i) {
            const std::u16string key{writer == 0 ? u'a' : u'b', static_cast<char16_t>(u'A' + i)};
            if (ini.setString(u"S", key.c_str(), u"1")) {
                made[writer].push_back(key);
            }
        }
    };
    std::thread other(edit, 1);
    go.set_value();
    edit(0);
    other.join();

    EXPECT_FALSE(made[0].empty() && made[1].empty());
    CIniFileImpl check;
    ASSERT_TRUE(check.open(file.u16string().c_str(), false));
    for (const auto& keys : made) {
        for (const auto& key : keys) {
            EXPECT_EQ(textOf(check.getString(u"S", key.c_str(), u"")), u"1")
                << std::string(key.begin(), key.end());
        }
    }
}

TEST_F(IniFileTest, ProfileModeFailedWritesLeaveTheFileAsItWas) {
    const std::string original = "[S]\nk=1\n";
    const auto file = write("faults.ini", original);
    CIniFileImpl ini;
    ASSERT_TRUE(ini.open(file.u16string().c_str(), false));
    {
        holm::test::InjectedFaults faults;
        faults.failFsync(EIO);
        EXPECT_FALSE(ini.setString(u"S", u"k", u"2"));
    }
    EXPECT_EQ(bytesOf(file), original);
    EXPECT_EQ(textOf(ini.getString(u"S", u"k", u"")), u"1");
}

// --- both modes ---------------------------------------------------------

class IniFileModesTest : public IniFileTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        file_ = write("modes.ini",
                      "[V]\nint=12abc\nword=abc\nneg= -7\nbig=99999999999\nhex=0x1F\nlow=1f\n"
                      "bad=zz\nupper=0X1F\nlong=0x123456789\none=1\ntwo=2\n"
                      "list=a,,b\nItem0=x\nItem1=y\nItem2=\nItem3=z\n");
        ASSERT_TRUE(ini_.open(file_.u16string().c_str(), GetParam()));
    }
    Strings list(const char16_t* key, const char16_t* separator, const char16_t* dflt = u"") {
        CStringListImpl out;
        out.add(u"stale");
        const bool result = ini_.getStringList(u"V", key, dflt, &out, separator);
        EXPECT_EQ(result, out.getCount() > 0);
        return stringsOf(out);
    }
    bool setList(const char16_t* key, const Strings& strings, const char16_t* separator) {
        CStringListImpl in;
        for (const auto& text : strings) {
            in.add(text.c_str());
        }
        return ini_.setStringList(u"V", key, &in, separator);
    }

    fs::path file_;
    CIniFileImpl ini_;
};

TEST_P(IniFileModesTest, TypedGetters) {
    EXPECT_EQ(ini_.getInt(u"V", u"missing", 42), 42);
    EXPECT_EQ(ini_.getInt(u"V", u"int", 42), 12);
    EXPECT_EQ(ini_.getInt(u"V", u"word", 42), 0);
    EXPECT_EQ(ini_.getInt(u"V", u"neg", 42), -7);
    EXPECT_EQ(ini_.getInt(u"V", u"big", 42), INT32_MAX);
    EXPECT_EQ(ini_.getHex(u"V", u"hex", 5), 31u);
    EXPECT_EQ(ini_.getHex(u"V", u"low", 5), 31u);
    EXPECT_EQ(ini_.getHex(u"V", u"bad", 5), 5u);
    EXPECT_EQ(ini_.getHex(u"V", u"upper", 5), 31u);         // no lower-case x: "%08x" form
    EXPECT_EQ(ini_.getHex(u"V", u"long", 5), 0x12345678u);  // at most eight digits
    EXPECT_EQ(ini_.getHex(u"V", u"missing", 0xABCDEF01), 0xABCDEF01u);
    EXPECT_TRUE(ini_.getBool(u"V", u"one", false));
    EXPECT_FALSE(ini_.getBool(u"V", u"two", true));
    EXPECT_TRUE(ini_.getBool(u"V", u"missing", true));

    ASSERT_TRUE(ini_.setHex(u"V", u"h", 31));
    ASSERT_TRUE(ini_.setInt(u"V", u"i", -5));
    ASSERT_TRUE(ini_.setBool(u"V", u"b", true));
    EXPECT_EQ(textOf(ini_.getString(u"V", u"h", nullptr)), u"0x0000001f");
    EXPECT_EQ(ini_.getHex(u"V", u"h", 0), 31u);
    EXPECT_EQ(textOf(ini_.getString(u"V", u"i", nullptr)), u"-5");
    EXPECT_EQ(textOf(ini_.getString(u"V", u"b", nullptr)), u"1");
}

TEST_P(IniFileModesTest, StringListsWithSeparator) {
    EXPECT_EQ(list(u"list", u","), (Strings{u"a", u"", u"b"}));
    ASSERT_TRUE(setList(u"sep", {u"a", u"b"}, u","));
    EXPECT_EQ(textOf(ini_.getString(u"V", u"sep", nullptr)), u"a,b,");
    EXPECT_EQ(list(u"sep", u","), (Strings{u"a", u"b"}));
    ASSERT_TRUE(setList(u"multi", {u"a", u"b:c"}, u"::"));
    EXPECT_EQ(list(u"multi", u"::"), (Strings{u"a", u"b:c"}));
    // A missing key splits the default; an empty list is the empty text.
    EXPECT_EQ(list(u"missing", u",", u"d1,d2"), (Strings{u"d1", u"d2"}));
    ASSERT_TRUE(setList(u"empty", {}, u","));
    EXPECT_EQ(list(u"empty", u","), Strings{});
    EXPECT_EQ(list(u"list", u""), Strings{});  // an empty separator is refused
}

TEST_P(IniFileModesTest, StringListsWithNumberedKeys) {
    // The walk ends at the first empty or missing key; the default is no value.
    EXPECT_EQ(list(u"Item", nullptr, u"dflt"), (Strings{u"x", u"y"}));
    EXPECT_EQ(list(u"missing", nullptr, u"dflt"), Strings{});
    ASSERT_TRUE(setList(u"n", {u"0", u"1", u"2", u"3", u"4"}, nullptr));
    ASSERT_TRUE(setList(u"n", {u"a", u"b", u"c"}, nullptr));
    EXPECT_EQ(list(u"n", nullptr), (Strings{u"a", u"b", u"c"}));
    EXPECT_EQ(textOf(ini_.getString(u"V", u"n4", u"removed")), u"removed");
    EXPECT_EQ(textOf(ini_.getString(u"V", u"n3", u"removed")), u"removed");
}

// False is written as 0, also over a true value.
TEST_P(IniFileModesTest, FalseIsWrittenAsZero) {
    ASSERT_TRUE(ini_.setBool(u"V", u"one", false));
    ASSERT_TRUE(ini_.setBool(u"V", u"new", false));
    EXPECT_EQ(textOf(ini_.getString(u"V", u"one", nullptr)), u"0");
    EXPECT_EQ(textOf(ini_.getString(u"V", u"new", nullptr)), u"0");
    EXPECT_FALSE(ini_.getBool(u"V", u"one", true));
}

INSTANTIATE_TEST_SUITE_P(BothModes, IniFileModesTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Block" : "Profile"; });

TEST(IniFileFactoryTest, InterfaceId16MakesAnIniFile) {
    HlmPlg::IInterface* made = holm::containers::createContainer(HlmPlg::IID_INIFILE);
    EXPECT_NE(dynamic_cast<HlmPlg::IIniFile*>(made), nullptr);
    holm::containers::destroyContainer(made);
}

}  // namespace

// INI and text files written through the core keep the owner, group and mode
// of the files they replace, and follow only trusted links (POSIX owners,
// modes and symbolic links).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "containers/ini_file.h"
#include "containers/link_refusals.h"
#include "containers/string_list.h"
#include "containers/text_file.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using holm::containers::CIniFileImpl;
using holm::containers::CStringListImpl;
using holm::containers::CTxtFileImpl;
using holm::test::bytesOf;
using holm::test::u16;

struct stat ownershipOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info;
}

class FileKeepingPosixTest : public ::testing::Test {
  protected:
    // A file of another user, readable by its owner only.
    fs::path foreignFile(const std::string& name, const std::string& content) {
        const fs::path file = dir_.write(name, content);
        EXPECT_TRUE(holm::test::giveToAnotherUser(file));
        EXPECT_EQ(::chmod(file.c_str(), 0600), 0);
        return file;
    }
    static void expectForeign(const fs::path& file) {
        const struct stat info = ownershipOf(file);
        EXPECT_EQ(info.st_uid, holm::test::kAnotherUser) << file;
        EXPECT_EQ(info.st_mode & 07777, 0600u) << file;
    }

    holm::test::TempDir dir_;
};

TEST_F(FileKeepingPosixTest, EveryWriterKeepsOwnerAndModeOfTheFileItReplaces) {
    if (!holm::test::canGiveAwayFiles()) {
        GTEST_SKIP() << "needs the right to give files away";
    }
    CStringListImpl lines;
    lines.add(u"one");
    struct Writer {
        const char* name;
        std::string before;
        std::function<bool(const std::u16string& path)> write;
        std::string after;
    };
    const Writer writers[] = {
        {"written.txt", "old\r\n",
         [&](const std::u16string& path) {
             CTxtFileImpl text;
             return text.open(path.c_str(), true) && text.writeLines(&lines) && text.close();
         },
         "one\r\n"},
        {"created.txt", "old\r\n",
         [](const std::u16string& path) {
             CTxtFileImpl text;
             return text.create(path.c_str(), false, false) && text.close();
         },
         ""},
        {"block.ini", "[S]\r\nk=1\r\n\r\n",
         [](const std::u16string& path) {
             CIniFileImpl ini;
             return ini.open(path.c_str(), true) && ini.setString(u"S", u"k", u"2") && ini.close();
         },
         "[S]\r\nk=2\r\n\r\n"},
        {"profile.ini", "[S]\r\nk=1\r\n",
         [](const std::u16string& path) {
             CIniFileImpl ini;
             return ini.open(path.c_str(), false) && ini.setString(u"S", u"k", u"2");
         },
         "[S]\r\nk=2\r\n"},
    };
    for (const Writer& writer : writers) {
        SCOPED_TRACE(writer.name);
        const fs::path file = foreignFile(writer.name, writer.before);
        ASSERT_TRUE(writer.write(u16(file)));
        EXPECT_EQ(bytesOf(file), writer.after);
        expectForeign(file);
    }
}

TEST_F(FileKeepingPosixTest, NewFilesGetTheModeAskedForWhateverTheUmask) {
    const mode_t previous = ::umask(077);
    CTxtFileImpl text;
    const fs::path created = dir_.path() / "new.txt";
    const bool made = text.create(u16(created).c_str(), true, false);
    text.close();
    CIniFileImpl ini;
    const fs::path block = dir_.path() / "new.ini";
    const bool opened = ini.open(u16(block).c_str(), true) && ini.setString(u"S", u"k", u"v");
    const bool closed = ini.close();
    ::umask(previous);
    ASSERT_TRUE(made && opened && closed);
    EXPECT_EQ(ownershipOf(created).st_mode & 07777, 0644u);
    EXPECT_EQ(ownershipOf(block).st_mode & 07777, 0644u);
}

TEST_F(FileKeepingPosixTest, TrustedLinksAreFollowedAndOthersRefusedVisibly) {
    std::vector<std::u16string> logged;
    holm::containers::setLinkRefusalLog(
        [&](const std::u16string& line) { logged.push_back(line); });
    const fs::path target = dir_.write("real.ini", "[S]\r\nk=1\r\n");
    const fs::path link = dir_.path() / "link.ini";
    fs::create_symlink(target, link);

    // A link of this process's user in its own directory: followed; the
    // write replaces the target and the link stays.
    CIniFileImpl profile;
    ASSERT_TRUE(profile.open(u16(link).c_str(), false));
    EXPECT_EQ(std::u16string(profile.getString(u"S", u"k", u"")), u"1");
    ASSERT_TRUE(profile.setString(u"S", u"k", u"2"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(bytesOf(target), "[S]\r\nk=2\r\n");
    CStringListImpl lines;
    CTxtFileImpl text;
    ASSERT_TRUE(text.open(u16(link).c_str(), true));
    ASSERT_TRUE(text.readLines(&lines));
    ASSERT_TRUE(text.writeLines(&lines));
    text.close();
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(bytesOf(target), "[S]\r\nk=2\r\n");
    EXPECT_TRUE(logged.empty());

    if (holm::test::canGiveAwayFiles()) {
        // A link another user could have planted: refused, and said so once.
        ASSERT_TRUE(holm::test::giveToAnotherUser(link));
        EXPECT_FALSE(text.open(u16(link).c_str(), false));
        EXPECT_EQ(text.getLastError(), 5u);
        EXPECT_EQ(std::u16string(profile.getString(u"S", u"k", u"default")), u"default");
        EXPECT_FALSE(profile.setString(u"S", u"k", u"3"));
        CIniFileImpl block;
        ASSERT_TRUE(block.open(u16(link).c_str(), true));
        EXPECT_FALSE(block.close());
        EXPECT_EQ(bytesOf(target), "[S]\r\nk=2\r\n");
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_NE(logged[0].find(u16(link)), std::u16string::npos);
    }
    holm::containers::setLinkRefusalLog({});
}

}  // namespace

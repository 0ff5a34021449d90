#include "containers/text_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "containers/factory.h"
#include "containers/string_list.h"
#include "hlmplg/interface_ids.h"
#include "support/io_faults.h"
#include "support/test_support.h"

namespace {

using holm::containers::CStringListImpl;
using holm::containers::CTxtFileImpl;

namespace fs = std::filesystem;
using Lines = std::vector<std::u16string>;

constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kHandleEof = 38;
constexpr uint32_t kFileExists = 80;
constexpr uint32_t kDiskFull = 112;

using holm::test::bytesOf;
using holm::test::utf16File;

Lines linesOf(HlmPlg::IStringList& list) {
    Lines lines;
    std::unique_ptr<HlmPlg::IStringList::Iterator> iterator(list.createIterator());
    for (auto* line = iterator->first(); line != nullptr; line = iterator->next()) {
        lines.emplace_back(line);
    }
    return lines;
}

class TextFileTest : public ::testing::Test {
  protected:
    std::u16string path(const std::string& name) const { return (dir_.path() / name).u16string(); }
    std::u16string write(const std::string& name, const std::string& content) const {
        return dir_.write(name, content).u16string();
    }
    // The lines of the file `name` read through a fresh object.
    Lines read(const std::u16string& name, bool* result = nullptr) {
        CTxtFileImpl file;
        CStringListImpl list;
        list.add(u"stale");
        EXPECT_TRUE(file.open(name.c_str(), false));
        const bool ok = file.readLines(&list);
        if (result != nullptr) {
            *result = ok;
        }
        return linesOf(list);
    }

    holm::test::TempDir dir_;
};

TEST_F(TextFileTest, Utf16FileBytesAfterCreateAndAppend) {
    const auto name = path("new.txt");
    CTxtFileImpl file;
    ASSERT_TRUE(file.create(name.c_str(), true, true));
    EXPECT_EQ(bytesOf(name), "\xFF\xFE");
    EXPECT_TRUE(file.appendLine(u"ab"));
    EXPECT_EQ(bytesOf(name), std::string("\xFF\xFE"
                                         "a\0b\0\r\0\n\0",
                                         10));
    EXPECT_TRUE(file.close());

    // Replacing an existing file starts it afresh, in the encoding asked for.
    ASSERT_TRUE(file.create(name.c_str(), false, false));
    EXPECT_TRUE(file.appendLine(u"\u00E4"));
    file.close();
    EXPECT_EQ(bytesOf(name), "\xC3\xA4\r\n");
}

TEST_F(TextFileTest, CreateRefusesAnExistingFileWhenAsked) {
    const auto name = write("old.txt", "keep");
    CTxtFileImpl file;
    EXPECT_FALSE(file.create(name.c_str(), true, true));
    EXPECT_EQ(file.getLastError(), kFileExists);
    EXPECT_EQ(bytesOf(name), "keep");
}

// The calls the INI objects use answer with a result and leave the last
// error, which only the plugin-facing calls set, as it was.
TEST_F(TextFileTest, ProjectCallsAnswerWithAResultAndLeaveTheLastError) {
    CTxtFileImpl file;
    EXPECT_FALSE(file.open(path("missing").c_str(), false));
    EXPECT_EQ(file.getLastError(), kFileNotFound);
    EXPECT_EQ(file.openFile(path("no-dir/missing").c_str(), false).windowsError(), kPathNotFound);
    EXPECT_EQ(file.createFile(nullptr, true, true).windowsError(), kPathNotFound);
    const std::u16string existing = write("existing.txt", "x\n");
    EXPECT_EQ(file.createFile(existing.c_str(), true, true).windowsError(), kFileExists);
    std::string bytes;
    EXPECT_EQ(file.readContent(bytes).windowsError(), kInvalidHandle);
    EXPECT_EQ(file.getLastError(), kFileNotFound);

    ASSERT_TRUE(file.openFile(existing.c_str(), false).ok());
    ASSERT_TRUE(file.readContent(bytes).ok());
    EXPECT_EQ(bytes, "x\n");
    file.close();
    ASSERT_TRUE(file.replaceContent(existing.c_str(), "y\n").ok());
    EXPECT_EQ(bytesOf(existing), "y\n");
    EXPECT_EQ(file.getLastError(), kFileNotFound);
}

TEST_F(TextFileTest, OpenTakesTheEncodingFromTheMark) {
    const auto wide = write("wide.txt", utf16File(u"x\r\ny"));
    const auto narrow = write("narrow.txt",
                              "\xFF"
                              "x\r\ny");
    CTxtFileImpl file;
    CStringListImpl list;
    ASSERT_TRUE(file.open(wide.c_str(), false));
    EXPECT_TRUE(file.readLines(&list));
    EXPECT_EQ(linesOf(list), (Lines{u"x", u"y"}));
    file.close();
    // The same object forgets the mark of the file before.
    ASSERT_TRUE(file.open(narrow.c_str(), false));
    EXPECT_TRUE(file.readLines(&list));
    EXPECT_EQ(linesOf(list), (Lines{u"\uFFFDx", u"y"}));
}

TEST_F(TextFileTest, ReadLinesCases) {
    EXPECT_EQ(read(write("a.txt", "a\r\n\r\nb")), (Lines{u"a", u"", u"b"}));
    EXPECT_EQ(read(write("bars.txt", "|a|\r\nx\ry\r\n")), (Lines{u"a", u"x|y"}));

    const std::u16string longLine(5000, u'\u00E9');
    EXPECT_EQ(read(write("long.txt", utf16File(longLine + u"\r\n"))), Lines{longLine});

    // A two-byte sequence across the end of the first read chunk.
    const std::string before(CTxtFileImpl::kReadChunk - 1, 'x');
    EXPECT_EQ(read(write("split.txt", before + "\xC3\xA4\r\nz")),
              (Lines{holm::common::utf8ToUtf16(before) + u"\u00E4", u"z"}));

    // A megabyte line with NUL bytes and an odd byte count in UTF-16.
    std::string big = utf16File(std::u16string(512 * 1024, u'b'));
    big[1000] = '\0';
    big[1001] = '\0';
    big.push_back('!');
    const Lines bigLines = read(write("big.txt", big));
    ASSERT_EQ(bigLines.size(), 1u);
    EXPECT_EQ(bigLines[0].size(), 512u * 1024 + 1);
    EXPECT_EQ(bigLines[0][499], u'\uFFFD');
    EXPECT_EQ(bigLines[0].back(), u'\uFFFD');
}

TEST_F(TextFileTest, NothingToReadIsAFailure) {
    for (const char* content : {"", "\xFF\xFE", "|"}) {
        bool result = true;
        const auto name = write("empty.txt", content);
        EXPECT_EQ(read(name, &result), Lines{}) << content;
        EXPECT_FALSE(result);
    }
    CTxtFileImpl file;
    CStringListImpl list;
    ASSERT_TRUE(file.open(path("empty.txt").c_str(), false));
    EXPECT_FALSE(file.readLines(&list));
    EXPECT_EQ(file.getLastError(), kHandleEof);
}

TEST_F(TextFileTest, WriteLinesReplacesTheFileInItsEncoding) {
    const auto name = write("w.txt", utf16File(u"old 1\r\nold 2\r\n"));
    CTxtFileImpl file;
    CStringListImpl list;
    list.add(u"n");
    list.add(u"");
    ASSERT_TRUE(file.open(name.c_str(), false));
    ASSERT_TRUE(file.writeLines(&list));
    EXPECT_EQ(bytesOf(name), std::string("\xFF\xFEn\0\r\0\n\0\r\0\n\0", 12));
    // The file stays open for writing.
    EXPECT_TRUE(file.appendLine(u"z"));
    file.close();
    EXPECT_EQ(read(name), (Lines{u"n", u"", u"z"}));

    CTxtFileImpl neverOpened;
    EXPECT_FALSE(neverOpened.writeLines(&list));
    EXPECT_EQ(neverOpened.getLastError(), kPathNotFound);
}

TEST_F(TextFileTest, FailedWriteLinesKeepsTheOldContent) {
    const auto name = write("keep.txt", "old\r\n");
    CTxtFileImpl file;
    CStringListImpl list;
    list.add(u"new");
    ASSERT_TRUE(file.open(name.c_str(), true));
    {
        holm::test::InjectedFaults faults;
        faults.failWrite(ENOSPC);
        EXPECT_FALSE(file.writeLines(&list));
    }
    EXPECT_EQ(file.getLastError(), kDiskFull);
    EXPECT_EQ(bytesOf(name), "old\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

TEST_F(TextFileTest, AppendFailuresAreReported) {
    const auto name = write("ro.txt", "a\r\n");
    CTxtFileImpl file;
    EXPECT_FALSE(file.appendLine(u"x"));
    EXPECT_EQ(file.getLastError(), kInvalidHandle);
    ASSERT_TRUE(file.open(name.c_str(), false));
    EXPECT_FALSE(file.appendLine(u"x"));
    EXPECT_EQ(file.getLastError(), kAccessDenied);
    file.close();
    ASSERT_TRUE(file.open(name.c_str(), true));
    {
        holm::test::InjectedFaults faults;
        faults.failWrite(ENOSPC);
        EXPECT_FALSE(file.appendLine(u"x"));
    }
    EXPECT_EQ(file.getLastError(), kDiskFull);
}

TEST_F(TextFileTest, ReadersShareAFileAndAWriterHasItAlone) {
    const auto name = write("shared.txt", "line\r\n");
    CTxtFileImpl reader, secondReader, writer;
    ASSERT_TRUE(reader.open(name.c_str(), false));
    EXPECT_TRUE(secondReader.open(name.c_str(), false));
    EXPECT_FALSE(writer.open(name.c_str(), true));
    EXPECT_EQ(writer.getLastError(), kSharingViolation);
    EXPECT_FALSE(writer.create(name.c_str(), false, false));
    EXPECT_EQ(writer.getLastError(), kSharingViolation);
    EXPECT_EQ(bytesOf(name), "line\r\n");

    reader.close();
    secondReader.close();
    ASSERT_TRUE(writer.open(name.c_str(), true));
    EXPECT_FALSE(reader.open(name.c_str(), false));
    EXPECT_EQ(reader.getLastError(), kSharingViolation);
}

TEST_F(TextFileTest, WhatIsNoTextFileIsRefused) {
    CTxtFileImpl file;
    EXPECT_FALSE(file.open(path("missing.txt").c_str(), false));
    EXPECT_EQ(file.getLastError(), kFileNotFound);
    EXPECT_FALSE(file.open(dir_.path().u16string().c_str(), false));
    EXPECT_EQ(file.getLastError(), kAccessDenied);
    EXPECT_FALSE(file.create(dir_.path().u16string().c_str(), true, false));
    EXPECT_EQ(file.getLastError(), kAccessDenied);
    EXPECT_FALSE(file.open(nullptr, false));
    EXPECT_EQ(file.getLastError(), kPathNotFound);
    EXPECT_FALSE(file.readLines(nullptr));
}

TEST(TextFileFactory, ProviderMakesTextFiles) {
    HlmPlg::IInterface* object = holm::containers::createContainer(HlmPlg::IID_TXTFILE);
    EXPECT_NE(dynamic_cast<HlmPlg::ITxtFile*>(object), nullptr);
    holm::containers::destroyContainer(object);
}

}  // namespace

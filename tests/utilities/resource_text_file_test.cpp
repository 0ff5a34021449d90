#include "utilities/resource_text_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "security/verified_data.h"
#include "support/signing_support.h"
#include "support/test_support.h"
#include "utilities/resource_table.h"
#include "utilities/resource_text_file_fixture.h"

namespace Tandro::Utilities {
namespace {

using Bytes = std::vector<std::byte>;

const std::map<uint32_t, std::u16string> kTexts = {{1, u"first"},
                                                   {7, u""},
                                                   {228, u"INFO;WARNING;ERROR;DETECTION"},
                                                   {4000000000u, u"\u00e9t\u00e9 \U0001F600"}};

void putLe32(Bytes& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<std::byte>(value >> (8 * i));
    }
}

// Offset of entry `index`'s field (0 id, 4 offset, 8 length).
size_t entryField(size_t index, size_t field) {
    return ResourceTextFile::kHeaderSize + index * ResourceTextFile::kEntrySize + field;
}

void expectRejected(const Bytes& bytes, const char* reasonPart) {
    try {
        ResourceTextFile file(bytes);
        ADD_FAILURE() << "accepted a file that should fail with: " << reasonPart;
    } catch (const ResourceFileError& error) {
        EXPECT_NE(std::strstr(error.what(), reasonPart), nullptr) << error.what();
    }
}

TEST(ResourceTextFileTest, EncodedTextsReadBackById) {
    const Bytes bytes = ResourceTextFile::encode(kTexts);
    const ResourceTextFile file(bytes);
    ASSERT_EQ(file.size(), kTexts.size());
    size_t index = 0;
    for (const auto& [id, text] : kTexts) {
        EXPECT_EQ(file.idAt(index++), id);
        EXPECT_EQ(file.find(id), text);
    }
    EXPECT_FALSE(file.find(0));
    EXPECT_FALSE(file.find(8));
    EXPECT_FALSE(file.find(0xFFFFFFFF));
    EXPECT_THROW(file.idAt(kTexts.size()), std::out_of_range);
}

TEST(ResourceTextFileTest, ReadsTextsAtOddAddresses) {
    const Bytes encoded = ResourceTextFile::encode(kTexts);
    Bytes shifted(encoded.size() + 1);
    std::memcpy(shifted.data() + 1, encoded.data(), encoded.size());
    const ResourceTextFile file(std::span<const std::byte>(shifted).subspan(1));
    EXPECT_EQ(file.find(228), kTexts.at(228));
}

TEST(ResourceTextFileTest, EveryTruncationFailsCleanly) {
    const Bytes encoded = ResourceTextFile::encode(kTexts);
    for (size_t length = 0; length < encoded.size(); ++length) {
        // An exact-size copy, so that a read past the end is an ASan error.
        const Bytes prefix(encoded.begin(), encoded.begin() + length);
        EXPECT_THROW(ResourceTextFile{prefix}, ResourceFileError) << "prefix of " << length;
    }
    Bytes longer = encoded;
    longer.resize(encoded.size() + 5, std::byte{0x7F});
    EXPECT_EQ(ResourceTextFile(longer).find(4000000000u), kTexts.at(4000000000u));
}

TEST(ResourceTextFileTest, RefusesHostileHeadersAndTables) {
    const Bytes good = ResourceTextFile::encode(kTexts);
    const size_t dataStart = entryField(kTexts.size(), 0);

    Bytes bytes = good;
    bytes[0] = std::byte{'X'};
    expectRejected(bytes, "magic");

    bytes = good;
    putLe32(bytes, 8, 2);
    expectRejected(bytes, "version");

    bytes = good;
    putLe32(bytes, 12, 0xFFFFFFFF);  // count far beyond the file
    expectRejected(bytes, "entry table");

    bytes = good;
    putLe32(bytes, entryField(1, 0), 1);  // same id twice
    expectRejected(bytes, "strictly increasing");

    bytes = good;
    putLe32(bytes, entryField(2, 0), 2);  // ids going down
    expectRejected(bytes, "strictly increasing");

    bytes = good;
    putLe32(bytes, entryField(0, 4), static_cast<uint32_t>(bytes.size()) + 1);
    expectRejected(bytes, "outside");

    bytes = good;
    putLe32(bytes, entryField(0, 4), 0);  // text over the header
    expectRejected(bytes, "outside");

    bytes = good;
    putLe32(bytes, entryField(0, 4), static_cast<uint32_t>(dataStart) - 1);
    expectRejected(bytes, "outside");

    bytes = good;
    putLe32(bytes, entryField(0, 8), 0xFFFFFFFF);  // length * 2 would wrap in 32 bits
    expectRejected(bytes, "outside");

    bytes = good;
    putLe32(bytes, entryField(0, 4), 0xFFFFFFFF);
    putLe32(bytes, entryField(0, 8), 1);  // offset + length would wrap in 32 bits
    expectRejected(bytes, "outside");
}

TEST(ResourceTextFileTest, AcceptsSharedTextBytesAndEmptyTexts) {
    Bytes bytes = ResourceTextFile::encode(kTexts);
    // Entry 1 reuses the text of entry 0; an empty text may sit at the very end.
    std::memcpy(bytes.data() + entryField(1, 4), bytes.data() + entryField(0, 4), 8);
    putLe32(bytes, entryField(0, 4), static_cast<uint32_t>(bytes.size()));
    putLe32(bytes, entryField(0, 8), 0);
    const ResourceTextFile file(bytes);
    EXPECT_EQ(file.find(1), u"");
    EXPECT_EQ(file.find(7), u"first");
}

TEST_F(ResourceTextFileOnDiskTest, OpensValidFileAndNamesTheFaultOfOthers) {
    const auto path = write("holmmsg.dll", ResourceTextFile::encode(kTexts));
    EXPECT_EQ(open(path).find(1), u"first");

    const auto empty = write("empty.dll", {});
    expectOpenFails(empty, "shorter than its header");
    expectOpenFails((dir_.path() / "missing.dll").string(), "does not exist");
    expectOpenFails(dir_.path().string(), "not a regular file");
    expectOpenFails(write("unsigned.dll", ResourceTextFile::encode(kTexts), false), "no signature");

    const auto huge = write("huge.dll", ResourceTextFile::encode(kTexts), false);
    std::filesystem::resize_file(huge, ResourceTextFile::kMaxSize + 1);  // sparse
    holm::test::signFileWith(huge, holm::test::authorSigningKey());
    expectOpenFails(huge, "too large");
}

// What is read is what was verified: the texts stay those of the verified
// file when the file is replaced or rewritten in place afterwards.
TEST_F(ResourceTextFileOnDiskTest, KeepsTheVerifiedBytes) {
    const auto path = write("holmmsg.dll", ResourceTextFile::encode(kTexts));
    const ResourceTextFile file = open(path);
    const Bytes other = ResourceTextFile::encode({{1, u"other"}});
    {
        std::ofstream rewrite(path, std::ios::binary | std::ios::in | std::ios::out);
        rewrite.write(reinterpret_cast<const char*>(other.data()), other.size());
    }
    EXPECT_EQ(file.find(1), u"first");
    expectOpenFails(path, "differs from the signed");
}

}  // namespace
}  // namespace Tandro::Utilities

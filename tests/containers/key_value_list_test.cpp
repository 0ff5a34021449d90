#include "containers/key_value_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "containers/serializable_list.h"
#include "containers/string_list.h"
#include "support/test_support.h"
#include "test_blocks.h"

namespace {

using holm::containers::CKeyValueListImpl;
using holm::containers::CSerializableListImpl;
using holm::containers::CStringListImpl;

using holm::test::ByteVector;
using holm::test::deserialize;
using holm::test::serialized;

std::u16string keysForward(HlmPlg::IKeyValueList& list) {
    std::unique_ptr<HlmPlg::IKeyValueList::Iterator> iterator(list.createIterator());
    std::u16string all;
    for (auto* key = iterator->first(); key != nullptr; key = iterator->next()) {
        all += holm::test::printable(key) + u"=" + list.getString(key) + u"|";
    }
    return all;
}

TEST(KeyValueList, ExampleRecord) {
    CKeyValueListImpl list;
    list.setString(u"a", u"1");
    EXPECT_EQ(serialized(list), (ByteVector{8, 0, 0, 0, 0x61, 0, 0, 0, 0x31, 0, 0, 0}));
}

TEST(KeyValueList, KeysFoldAToZOnlyAndKeepFirstSpellingAndPlace) {
    CKeyValueListImpl list;
    list.setString(u"Name", u"x");
    list.setString(u"other", u"o");
    list.setString(u"NAME", u"y");
    EXPECT_EQ(list.getCount(), 2);
    EXPECT_EQ(keysForward(list), u"Name=y|other=o|");
    EXPECT_EQ(holm::test::printable(list.getString(u"name")), u"y");
    // Only A-Z fold: these stay distinct keys.
    list.setString(u"\u00c4", u"1");
    list.setString(u"\u00e4", u"2");
    list.setString(u"[", u"3");
    list.setString(u"{", u"4");
    EXPECT_EQ(list.getCount(), 6);
    EXPECT_EQ(holm::test::printable(list.getString(u"\u00c4")), u"1");
    EXPECT_FALSE(list.hasKey(u"nam"));
}

TEST(KeyValueList, MissingKeysGiveDefaults) {
    CKeyValueListImpl list;
    uint8_t out[2] = {7, 7};
    EXPECT_EQ(holm::test::printable(list.getString(u"k")), u"");
    EXPECT_EQ(list.getInt(u"k"), 0);
    EXPECT_FALSE(list.getBool(u"k"));
    EXPECT_FALSE(list.getBinary(u"k", out, 2));
    EXPECT_EQ(out[0], 7);
    EXPECT_FALSE(list.hasKey(u"k"));
    EXPECT_FALSE(list.hasKey(nullptr));
    list.setString(nullptr, u"v");
    list.setString(u"k", nullptr);
    EXPECT_EQ(list.getCount(), 1);
    EXPECT_EQ(holm::test::printable(list.getString(u"k")), u"");
}

TEST(KeyValueList, TypedValuesAreStoredAsText) {
    CKeyValueListImpl list;
    list.setInt(u"i", -5);
    EXPECT_EQ(holm::test::printable(list.getString(u"i")), u"-5");
    EXPECT_EQ(list.getInt(u"i"), -5);
    list.setBool(u"b", true);
    EXPECT_EQ(holm::test::printable(list.getString(u"b")), u"1");
    EXPECT_TRUE(list.getBool(u"b"));
    for (auto* value : {u"2", u"true"}) {
        list.setString(u"b", value);
        EXPECT_FALSE(list.getBool(u"b"));
    }
    list.setString(u"i", u" \t+42abc");
    EXPECT_EQ(list.getInt(u"i"), 42);
    list.setString(u"i", u"x1");
    EXPECT_EQ(list.getInt(u"i"), 0);
    list.setString(u"i", u"99999999999");
    EXPECT_EQ(list.getInt(u"i"), INT32_MAX);
    list.setString(u"i", u"-2147483648");
    EXPECT_EQ(list.getInt(u"i"), INT32_MIN);
    list.setString(u"i", u"-99999999999");
    EXPECT_EQ(list.getInt(u"i"), INT32_MIN);
}

TEST(KeyValueList, BinaryValuesAreHexPairs) {
    CKeyValueListImpl list;
    const uint8_t bytes[] = {0x0A, 0xFF};
    list.setBinary(u"bin", bytes, 2);
    EXPECT_EQ(holm::test::printable(list.getString(u"bin")), u"0AFF");
    uint8_t out[2] = {};
    EXPECT_TRUE(list.getBinary(u"bin", out, 2));
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFF);

    list.setString(u"bin", u"0aff");
    out[0] = out[1] = 0;
    EXPECT_TRUE(list.getBinary(u"bin", out, 2));
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_TRUE(list.getBinary(u"bin", out, 0));

    list.setBinary(u"bin", bytes, 0);
    EXPECT_EQ(holm::test::printable(list.getString(u"bin")), u"");
    EXPECT_FALSE(list.getBinary(u"bin", out, 2));
}

TEST(KeyValueList, BinaryReadStopsAtTheTextEnd) {
    CKeyValueListImpl list;
    // A non-hex pair repeats the previous byte; so do pairs past the text.
    list.setString(u"bin", u"1Fzz3");
    uint8_t out[5] = {9, 9, 9, 9, 9};
    EXPECT_TRUE(list.getBinary(u"bin", out, 5));
    EXPECT_EQ(ByteVector(out, out + 5), (ByteVector{0x1F, 0x1F, 0x03, 0x03, 0x03}));
    list.setString(u"bin", u"zz");
    EXPECT_TRUE(list.getBinary(u"bin", out, 1));
    EXPECT_EQ(out[0], 0);
}

TEST(KeyValueList, RoundTripKeepsOrderAndIteratesBothWays) {
    CKeyValueListImpl list;
    list.setString(u"a", u"1");
    list.setString(u"b", u"");
    const ByteVector block = serialized(list);
    EXPECT_EQ(block.size(), 22u);  // 4 + 4 + 4, then 4 + 4 + 2

    CKeyValueListImpl copy;
    copy.setString(u"old", u"gone");
    deserialize(copy, block);
    EXPECT_EQ(keysForward(copy), u"a=1|b=|");
    EXPECT_EQ(serialized(copy), block);

    auto* iterator = copy.createIterator();
    EXPECT_EQ(holm::test::printable(iterator->last()), u"b");
    EXPECT_EQ(holm::test::printable(iterator->prev()), u"a");
    EXPECT_EQ(iterator->prev(), nullptr);
    copy.releaseIterator(iterator);

    CKeyValueListImpl empty;
    EXPECT_EQ(serialized(empty), ByteVector());
}

TEST(KeyValueList, BlockIsASerializableListOfStringLists) {
    CKeyValueListImpl list;
    list.setString(u"key", u"value");
    list.setString(u"k2", u"v2");
    CSerializableListImpl records;
    deserialize(records, serialized(list));
    ASSERT_EQ(records.getCount(), 2);
    std::unique_ptr<HlmPlg::ISerializableList::Iterator> iterator(records.createIterator());
    CStringListImpl pair;
    ASSERT_TRUE(iterator->at(1, &pair));
    std::unique_ptr<HlmPlg::IStringList::Iterator> strings(pair.createIterator());
    EXPECT_EQ(holm::test::printable(strings->at(0)), u"k2");
    EXPECT_EQ(holm::test::printable(strings->at(1)), u"v2");
}

TEST(KeyValueList, DuplicateAndShortRecordsFollowSetString) {
    // Records: (A, 1), (a, 2, extra), (k) with the value missing, then an
    // empty record, then a record running past the block.
    const ByteVector block = {4,    0, 0, 0, 0x41, 0, 0, 0,  // "A" without value
                              12,   0, 0, 0, 0x61, 0, 0, 0,
                              0x32, 0, 0, 0, 0x78, 0, 0, 0,  // "a","2","x"
                              4,    0, 0, 0, 0x6B, 0, 0, 0,  // "k"
                              0,    0, 0, 0,                 // empty record
                              9,    0, 0, 0, 0x6D};
    auto heap = std::make_unique<uint8_t[]>(block.size());
    std::memcpy(heap.get(), block.data(), block.size());
    CKeyValueListImpl list;
    list.deserialize(heap.get(), static_cast<int32_t>(block.size()));
    EXPECT_EQ(keysForward(list), u"A=2|k=|=|");
}

TEST(KeyValueList, ClearEmptiesTheIndexToo) {
    CKeyValueListImpl list;
    list.setString(u"a", u"1");
    list.clear();
    EXPECT_FALSE(list.hasKey(u"a"));
    list.setString(u"A", u"2");
    EXPECT_EQ(keysForward(list), u"A=2|");
}

TEST(KeyValueList, FullListRaisesLengthErrorAndStaysConsistent) {
    CKeyValueListImpl list(1);
    list.setString(u"a", u"1");
    EXPECT_THROW(list.setString(u"b", u"2"), std::length_error);
    EXPECT_FALSE(list.hasKey(u"b"));
    list.setString(u"A", u"3");  // replacing needs no room
    EXPECT_EQ(keysForward(list), u"a=3|");
}

}  // namespace

#include "containers/string_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "containers/data_list.h"
#include "containers/serializable_list.h"
#include "support/test_support.h"
#include "test_blocks.h"

namespace {

using holm::containers::CDataListImpl;
using holm::containers::CSerializableListImpl;
using holm::containers::CStringListImpl;

using holm::test::ByteVector;
using holm::test::deserialize;
using holm::test::serialized;

const ByteVector kAbC = {0x61, 0x00, 0x62, 0x00, 0x00, 0x00, 0x63, 0x00, 0x00, 0x00};

// The strings of a list, first to last.
std::u16string joined(HlmPlg::IStringList& list) {
    std::unique_ptr<HlmPlg::IStringList::Iterator> iterator(list.createIterator());
    std::u16string all;
    for (auto* value = iterator->first(); value != nullptr; value = iterator->next()) {
        all += holm::test::printable(value) + u"|";
    }
    return all;
}

TEST(StringList, ExampleBlockRoundTrips) {
    CStringListImpl list;
    list.add(u"ab");
    list.add(u"c");
    EXPECT_EQ(serialized(list), kAbC);

    CStringListImpl copy;
    copy.add(u"old");
    deserialize(copy, kAbC);
    EXPECT_EQ(joined(copy), u"ab|c|");
}

TEST(StringList, EmptyAndNullTexts) {
    CStringListImpl list;
    EXPECT_EQ(serialized(list), ByteVector());
    list.add(nullptr);
    EXPECT_EQ(serialized(list), (ByteVector{0, 0}));
    CStringListImpl copy;
    deserialize(copy, {0, 0});
    EXPECT_EQ(joined(copy), u"|");
}

void addAbc(CStringListImpl& list) {
    for (auto* value : {u"a", u"b", u"c"}) {
        list.add(value);
    }
}

TEST(StringList, IteratorWalksBothWaysAndByIndex) {
    CStringListImpl list;
    addAbc(list);
    auto* iterator = list.createIterator();
    EXPECT_EQ(holm::test::printable(iterator->last()), u"c");
    EXPECT_EQ(holm::test::printable(iterator->first()), u"a");
    EXPECT_EQ(holm::test::printable(iterator->at(1)), u"b");
    EXPECT_EQ(holm::test::printable(iterator->prev()), u"b");
    EXPECT_EQ(holm::test::printable(iterator->next()), u"b");
    EXPECT_EQ(holm::test::printable(iterator->prev()), u"a");
    EXPECT_EQ(iterator->prev(), nullptr);
    EXPECT_EQ(iterator->at(3), nullptr);
    list.releaseIterator(iterator);
}

// The list lends one iterator again and again; iterators taken while it is
// out are independent, one lent again starts afresh, and one deleted by its
// holder instead of released leaves the list working (it makes another).
TEST(StringList, IteratorsLentAgainStartAfreshAndStayIndependent) {
    CStringListImpl list;
    addAbc(list);
    auto* first = list.createIterator();
    EXPECT_EQ(holm::test::printable(first->first()), u"a");
    EXPECT_EQ(holm::test::printable(first->next()), u"b");
    auto* second = list.createIterator();
    ASSERT_NE(second, first);
    EXPECT_EQ(holm::test::printable(second->last()), u"c");
    EXPECT_EQ(holm::test::printable(first->next()), u"c") << "each keeps its own position";
    list.releaseIterator(first);
    list.releaseIterator(second);

    auto* again = list.createIterator();
    EXPECT_EQ(again->next(), nullptr) << "positions unset, as in a new iterator";
    EXPECT_EQ(again->prev(), nullptr);
    EXPECT_EQ(holm::test::printable(again->first()), u"a");
    delete again;  // not handed back: the list must not keep it

    EXPECT_EQ(joined(list), u"a|b|c|");
    auto* fresh = list.createIterator();
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(holm::test::printable(fresh->at(2)), u"c");
    list.releaseIterator(fresh);
    list.releaseIterator(fresh);  // a second release of the lent one does no harm
    EXPECT_EQ(joined(list), u"a|b|c|");
}

TEST(StringList, IncompleteStringsAreDroppedWithoutReadingOutside) {
    CStringListImpl list;
    // "ab" terminated, then "c" without terminator, then an odd byte.
    const ByteVector block = {0x61, 0x00, 0x62, 0x00, 0x00, 0x00, 0x63, 0x00, 0x64};
    auto heap = std::make_unique<uint8_t[]>(block.size());
    std::memcpy(heap.get(), block.data(), block.size());
    list.deserialize(heap.get(), static_cast<int32_t>(block.size()));
    EXPECT_EQ(joined(list), u"ab|");
    list.deserialize(heap.get(), 1);
    EXPECT_EQ(list.getCount(), 0);
}

TEST(SerializableList, ExampleBlockHoldsAStringList) {
    CStringListImpl strings;
    strings.add(u"ab");
    strings.add(u"c");
    CSerializableListImpl list;
    list.add(&strings);
    ByteVector expected = {0x0A, 0x00, 0x00, 0x00};
    expected.insert(expected.end(), kAbC.begin(), kAbC.end());
    const ByteVector block = serialized(list);
    EXPECT_EQ(block, expected);

    CSerializableListImpl copy;
    deserialize(copy, block);
    ASSERT_EQ(copy.getCount(), 1);
    CStringListImpl target;
    std::unique_ptr<HlmPlg::ISerializableList::Iterator> iterator(copy.createIterator());
    EXPECT_TRUE(iterator->first(&target));
    EXPECT_EQ(joined(target), u"ab|c|");
    // Past the end the target is left as it was.
    EXPECT_FALSE(iterator->next(&target));
    EXPECT_EQ(joined(target), u"ab|c|");
    EXPECT_FALSE(iterator->at(1, &target));
    EXPECT_FALSE(iterator->last(nullptr));
}

TEST(SerializableList, EmptyBlocksAreNotAdded) {
    CSerializableListImpl list;
    CDataListImpl emptyData;
    CStringListImpl emptyStrings;
    list.add(&emptyData);
    list.add(&emptyStrings);
    list.add(nullptr);
    EXPECT_EQ(list.getCount(), 0);
    EXPECT_EQ(serialized(list), ByteVector());
}

TEST(SerializableList, RecordsWalkInOrderAndEmptyRecordsSurvive) {
    // Records "ab", an empty one and "c".
    const ByteVector block = {4, 0, 0, 0, 0x61, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0x63, 0, 0, 0};
    CSerializableListImpl list;
    deserialize(list, block);
    ASSERT_EQ(list.getCount(), 3);
    EXPECT_EQ(serialized(list), block);

    CStringListImpl target;
    std::unique_ptr<HlmPlg::ISerializableList::Iterator> iterator(list.createIterator());
    EXPECT_TRUE(iterator->last(&target));
    EXPECT_EQ(joined(target), u"c|");
    EXPECT_TRUE(iterator->prev(&target));
    EXPECT_EQ(joined(target), u"");
    EXPECT_TRUE(iterator->at(0, &target));
    EXPECT_EQ(joined(target), u"a|");

    // A lone empty record still serializes, as its 4-byte length.
    deserialize(list, {0, 0, 0, 0});
    EXPECT_EQ(list.getCount(), 1);
    EXPECT_EQ(serialized(list), (ByteVector{0, 0, 0, 0}));
}

TEST(SerializableList, WalkStopsAtARecordRunningPastTheBlock) {
    CSerializableListImpl list;
    for (const ByteVector& block : {ByteVector{2, 0, 0, 0, 0x61, 0, 9, 0, 0, 0, 1},
                                    ByteVector{2, 0, 0, 0, 0x61, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2},
                                    ByteVector{2, 0, 0, 0, 0x61, 0, 1, 0, 0}}) {
        auto heap = std::make_unique<uint8_t[]>(block.size());
        std::memcpy(heap.get(), block.data(), block.size());
        list.deserialize(heap.get(), static_cast<int32_t>(block.size()));
        EXPECT_EQ(list.getCount(), 1);
    }
}

}  // namespace

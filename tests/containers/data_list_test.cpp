#include "containers/data_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "containers/factory.h"
#include "hlmplg/interface_ids.h"
#include "test_blocks.h"

namespace {

using holm::containers::CDataListImpl;

using holm::test::ByteVector;
using holm::test::deserialize;
using holm::test::serialized;

struct Record {
    uint32_t a;
    uint32_t b;
};

ByteVector threeRecords() {
    ByteVector block;
    for (uint8_t i = 1; i <= 24; ++i) {
        block.push_back(i);
    }
    return block;
}

TEST(DataList, NewListIgnoresAddUntilItHasAnElementSize) {
    CDataListImpl list;
    const Record record{1, 2};
    EXPECT_EQ(list.getElementSize(), 0u);
    list.add(&record);
    EXPECT_EQ(list.getCount(), 0);
    EXPECT_EQ(serialized(list), ByteVector());
}

TEST(DataList, RecordsSerializeConcatenatedAndRoundTrip) {
    CDataListImpl list;
    list.setElementSize(8);
    const ByteVector block = threeRecords();
    for (size_t offset = 0; offset < block.size(); offset += 8) {
        list.add(block.data() + offset);
    }
    EXPECT_EQ(serialized(list), block);

    CDataListImpl copy;
    copy.setElementSize(8);
    const uint8_t old[8] = {};
    copy.add(old);
    deserialize(copy, block);
    EXPECT_EQ(copy.getCount(), 3);
    EXPECT_EQ(serialized(copy), block);
}

TEST(DataList, BadBlocksLoseNothingAndReadNothingOutside) {
    CDataListImpl list;
    list.setElementSize(8);
    const ByteVector block = threeRecords();
    deserialize(list, block);
    list.deserialize(block.data(), 0);
    EXPECT_EQ(list.getCount(), 0);
    deserialize(list, block);
    list.deserialize(block.data(), -5);
    EXPECT_EQ(list.getCount(), 0);

    // A short remainder is dropped rather than read as a whole record.
    auto heap = std::make_unique<uint8_t[]>(20);
    std::memcpy(heap.get(), block.data(), 20);
    list.deserialize(heap.get(), 20);
    EXPECT_EQ(list.getCount(), 2);

    CDataListImpl sizeless;
    sizeless.deserialize(block.data(), 24);
    EXPECT_EQ(sizeless.getCount(), 0);
}

TEST(DataList, ElementSizeIsFixedWhileRecordsAreHeld) {
    CDataListImpl list;
    list.setElementSize(4);
    const uint32_t value = 0x04030201;
    list.add(&value);
    list.setElementSize(64);  // would make serialize read past the record
    EXPECT_EQ(list.getElementSize(), 4u);
    EXPECT_EQ(serialized(list), (ByteVector{1, 2, 3, 4}));
    list.clear();
    list.setElementSize(64);
    EXPECT_EQ(list.getElementSize(), 64u);
}

TEST(DataList, IteratorGivesWritableRecordsInPlace) {
    CDataListImpl list;
    list.setElementSize(8);
    deserialize(list, threeRecords());
    auto* iterator = list.createIterator();
    ASSERT_NE(iterator, nullptr);
    EXPECT_EQ(iterator->at(3), nullptr);
    EXPECT_EQ(iterator->at(-1), nullptr);
    auto* firstRecord = static_cast<uint8_t*>(iterator->first());
    ASSERT_NE(firstRecord, nullptr);
    EXPECT_EQ(firstRecord[0], 1);
    EXPECT_EQ(static_cast<uint8_t*>(iterator->next())[0], 9);
    EXPECT_EQ(static_cast<uint8_t*>(iterator->last())[0], 17);
    EXPECT_EQ(static_cast<uint8_t*>(iterator->prev())[0], 9);
    firstRecord[0] = 0xAA;
    list.releaseIterator(iterator);
    list.releaseIterator(nullptr);
    EXPECT_EQ(serialized(list)[0], 0xAA);
}

TEST(ContainerFactory, MakesTheFourListsByIdOnly) {
    for (int32_t id : {HlmPlg::IID_KEYVALUELIST, HlmPlg::IID_STRINGLIST, HlmPlg::IID_DATALIST,
                       HlmPlg::IID_SERIALIZABLELIST}) {
        HlmPlg::IInterface* object = holm::containers::createContainer(id);
        ASSERT_NE(object, nullptr) << id;
        EXPECT_NE(dynamic_cast<HlmPlg::ISerializable*>(object), nullptr);
        holm::containers::destroyContainer(object);
    }
    EXPECT_EQ(holm::containers::createContainer(HlmPlg::IID_CONFIG), nullptr);
    EXPECT_EQ(holm::containers::createContainer(20), nullptr);
}

}  // namespace

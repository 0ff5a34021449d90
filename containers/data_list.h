// The data list (interface id 6): fixed-size binary records, each a private
// copy of the bytes a plugin handed in.
#pragma once

#include <cstdint>
#include <memory>

#include "containers/vector.h"
#include "containers/wire_format.h"
#include "hlmplg/data_list.h"

// One record: a heap copy of exactly the element size the list had when the
// record was added (the list refuses size changes while it holds records).
class CDataListElem : public IListElem {
  public:
    explicit CDataListElem(std::unique_ptr<uint8_t[]> bytes) : bytes_(std::move(bytes)) {}
    uint8_t* bytes() const { return bytes_.get(); }

  private:
    std::unique_ptr<uint8_t[]> bytes_;
};

class CDataListImpl;

// The list's serialization side; owns the block serialize hands out.
class CDataListSerializer : public HlmPlg::ISerializable {
  public:
    explicit CDataListSerializer(CDataListImpl& owner) : owner_(owner) {}
    void deserialize(const void* data, int32_t size) override;
    void serialize(void** data, uint32_t* size) override;

  private:
    CDataListImpl& owner_;
    holm::containers::SerializerBuffer buffer_;
};

class CDataListImpl : public HlmPlg::IDataList {
  public:
    void deserialize(const void* data, int32_t size) override;
    void serialize(void** data, uint32_t* size) override;
    void setElementSize(uint32_t size) override;
    uint32_t getElementSize() override;
    void add(const void* record) override;
    int32_t getCount() override;
    void clear() override;
    Iterator* createIterator() override;
    void releaseIterator(Iterator* iterator) override;

  private:
    friend class CDataListSerializer;

    CVectorImpl vector_;
    uint32_t elementSize_ = 0;
    CDataListSerializer serializer_{*this};
};

class CDataListIteratorImpl : public HlmPlg::IDataList::Iterator {
  public:
    explicit CDataListIteratorImpl(CVectorImpl& vector) : cursor_(vector) {}

    void* first() override;
    void* next() override;
    void* last() override;
    void* prev() override;
    void* at(int32_t index) override;
    // The record bytes of a data-list element; null for anything else.
    virtual void* elementValue(IListElem* element);

    bool valid() const { return cursor_.valid(); }

  private:
    VectorCursor cursor_;
};

// The data list (interface id 6): fixed-size binary records, each a private
// copy of the bytes a plugin handed in.
#pragma once

#include <cstdint>
#include <memory>

#include "containers/list_base.h"
#include "hlmplg/data_list.h"

namespace holm::containers {

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
class CDataListIteratorImpl;

// The list's serialization side; owns the block serialize hands out.
using CDataListSerializer = CListSerializer<CDataListImpl>;
template <>
void CDataListSerializer::deserialize(const void* data, int32_t size);
template <>
void CDataListSerializer::serialize(void** data, uint32_t* size);

class CDataListImpl : public CListImplBase<HlmPlg::IDataList, CDataListIteratorImpl> {
  public:
    void deserialize(const void* data, int32_t size) override;
    void serialize(void** data, uint32_t* size) override;
    void setElementSize(uint32_t size) override;
    uint32_t getElementSize() override;
    void add(const void* record) override;

  private:
    friend CDataListSerializer;

    uint32_t elementSize_ = 0;
    CDataListSerializer serializer_{*this};
};

class CDataListIteratorImpl : public CValueListIterator<HlmPlg::IDataList::Iterator, void*> {
  public:
    using CValueListIterator::CValueListIterator;
    // The record bytes of a data-list element; null for anything else.
    void* elementValue(IListElem* element) override;
};

}  // namespace holm::containers

// The serializable list (interface id 11): an ordered list of byte blocks,
// each the serialized form of another object.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "containers/list_base.h"
#include "hlmplg/serializable_list.h"

namespace holm::containers {

class CSerializableListElem : public IListElem {
  public:
    explicit CSerializableListElem(holm::containers::Bytes block)
        : block_(block.begin(), block.end()) {}
    holm::containers::Bytes block() const { return block_; }

  private:
    std::vector<uint8_t> block_;
};

class CSerializableListIteratorImpl;

class CSerializableListImpl
    : public CListImplBase<HlmPlg::ISerializableList, CSerializableListIteratorImpl> {
  public:
    void deserialize(const void* data, int32_t size) override;
    void serialize(void** data, uint32_t* size) override;
    void add(HlmPlg::ISerializable* object) override;

  private:
    // Appends a copy of the block (also an empty one); a copy that cannot be
    // allocated is dropped. Raises std::length_error when full.
    void addBlock(holm::containers::Bytes block);

    holm::containers::SerializerBuffer buffer_;
};

class CSerializableListIteratorImpl
    : public CListIteratorBase<HlmPlg::ISerializableList::Iterator> {
  public:
    using CListIteratorBase::CListIteratorBase;

    bool first(HlmPlg::ISerializable* target) override;
    bool next(HlmPlg::ISerializable* target) override;
    bool last(HlmPlg::ISerializable* target) override;
    bool prev(HlmPlg::ISerializable* target) override;
    bool at(int32_t index, HlmPlg::ISerializable* target) override;
    // Hands the element's block to the target; false, target untouched, for
    // a null target or anything but a serializable-list element.
    virtual bool elementValue(HlmPlg::ISerializable* target, IListElem* element);
};

}  // namespace holm::containers

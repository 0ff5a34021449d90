#include "containers/serializable_list.h"

#include <new>

#include "hlmplg/list_format.h"

namespace holm::containers {

void CSerializableListImpl::deserialize(const void* data, int32_t size) {
    RecordReader reader(startDeserialize(data, size));
    while (auto record = reader.next()) {
        addBlock(*record);
    }
}

void CSerializableListImpl::serialize(void** data, uint32_t* size) {
    const auto& elements = vector_.elements();
    BlockSize total;
    for (const auto& element : elements) {
        total.add(HlmPlg::kListRecordLengthSize);
        total.add(static_cast<const CSerializableListElem&>(*element).block().size());
    }
    buffer_.publish(
        total,
        [&](uint8_t* out) {
            for (const auto& element : elements) {
                const Bytes block = static_cast<const CSerializableListElem&>(*element).block();
                out = writeLength(out, static_cast<uint32_t>(block.size()));
                if (!block.empty()) {
                    std::memcpy(out, block.data(), block.size());
                    out += block.size();
                }
            }
        },
        data, size);
}

void CSerializableListImpl::add(HlmPlg::ISerializable* object) {
    if (object == nullptr) {
        return;
    }
    void* data = nullptr;
    uint32_t size = 0;
    object->serialize(&data, &size);
    if (data == nullptr || size < 1 || size > HlmPlg::kListMaxBlockSize) {
        return;
    }
    addBlock({static_cast<const uint8_t*>(data), size});
}

void CSerializableListImpl::addBlock(Bytes block) {
    CSerializableListElem* element = nullptr;
    try {
        element = new CSerializableListElem(block);
    } catch (const std::bad_alloc&) {
        return;
    }
    vector_.add(element);
}

bool CSerializableListIteratorImpl::first(HlmPlg::ISerializable* target) {
    return elementValue(target, cursor_->first());
}
bool CSerializableListIteratorImpl::next(HlmPlg::ISerializable* target) {
    return elementValue(target, cursor_->next());
}
bool CSerializableListIteratorImpl::last(HlmPlg::ISerializable* target) {
    return elementValue(target, cursor_->last());
}
bool CSerializableListIteratorImpl::prev(HlmPlg::ISerializable* target) {
    return elementValue(target, cursor_->prev());
}
bool CSerializableListIteratorImpl::at(int32_t index, HlmPlg::ISerializable* target) {
    return elementValue(target, cursor_->at(index));
}

bool CSerializableListIteratorImpl::elementValue(HlmPlg::ISerializable* target,
                                                 IListElem* element) {
    auto* record = dynamic_cast<CSerializableListElem*>(element);
    if (target == nullptr || record == nullptr) {
        return false;
    }
    const Bytes block = record->block();
    target->deserialize(block.data(), static_cast<int32_t>(block.size()));
    return true;
}

}  // namespace holm::containers

#include "containers/data_list.h"

#include <cstring>
#include <new>

namespace holm::containers {

void CDataListImpl::deserialize(const void* data, int32_t size) {
    serializer_.deserialize(data, size);
}

void CDataListImpl::serialize(void** data, uint32_t* size) {
    serializer_.serialize(data, size);
}

void CDataListImpl::setElementSize(uint32_t size) {
    // Records keep the size they were added with; changing it under them
    // would make serialize read past a record.
    if (vector_.isEmpty()) {
        elementSize_ = size;
    }
}

uint32_t CDataListImpl::getElementSize() {
    return elementSize_;
}

void CDataListImpl::add(const void* record) {
    if (elementSize_ == 0 || record == nullptr) {
        return;
    }
    std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[elementSize_]);
    if (!copy) {
        return;
    }
    std::memcpy(copy.get(), record, elementSize_);
    auto* element = new (std::nothrow) CDataListElem(std::move(copy));
    if (element != nullptr) {
        vector_.add(element);
    }
}

template <>
void CDataListSerializer::deserialize(const void* data, int32_t size) {
    const auto block = owner_.startDeserialize(data, size);
    const size_t recordSize = owner_.elementSize_;
    if (recordSize == 0) {
        return;
    }
    // A remainder shorter than a record is dropped.
    for (size_t offset = 0; block.size() - offset >= recordSize; offset += recordSize) {
        owner_.add(block.data() + offset);
    }
}

template <>
void CDataListSerializer::serialize(void** data, uint32_t* size) {
    const size_t recordSize = owner_.elementSize_;
    const auto& elements = owner_.vector_.elements();
    BlockSize total;
    total.addTimes(recordSize, elements.size());
    buffer_.publish(
        total,
        [&](uint8_t* out) {
            for (const auto& element : elements) {
                std::memcpy(out, static_cast<const CDataListElem&>(*element).bytes(), recordSize);
                out += recordSize;
            }
        },
        data, size);
}

void* CDataListIteratorImpl::elementValue(IListElem* element) {
    auto* record = dynamic_cast<CDataListElem*>(element);
    return record != nullptr ? record->bytes() : nullptr;
}

}  // namespace holm::containers

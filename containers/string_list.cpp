#include "containers/string_list.h"

#include <new>

using holm::containers::BlockSize;
using holm::containers::encodedStringSize;
using holm::containers::StringReader;
using holm::containers::writeString;

void CStringListImpl::deserialize(const void* data, int32_t size) {
    serializer_.deserialize(data, size);
}

void CStringListImpl::serialize(void** data, uint32_t* size) {
    serializer_.serialize(data, size);
}

void CStringListImpl::add(const char16_t* text) {
    try {
        addText(text != nullptr ? std::u16string(text) : std::u16string());
    } catch (const std::bad_alloc&) {
        // A text that cannot be copied is not added.
    }
}

void CStringListImpl::addText(std::u16string text) {
    vector_.add(new CStringListElem(std::move(text)));
}

template <>
void CStringListImplSerializer::deserialize(const void* data, int32_t size) {
    StringReader reader(owner_.startDeserialize(data, size));
    while (auto text = reader.next()) {
        owner_.addText(std::move(*text));
    }
}

template <>
void CStringListImplSerializer::serialize(void** data, uint32_t* size) {
    const auto& elements = owner_.vector_.elements();
    BlockSize total;
    for (const auto& element : elements) {
        total.add(encodedStringSize(static_cast<const CStringListElem&>(*element).text()));
    }
    buffer_.publish(
        total,
        [&](uint8_t* out) {
            for (const auto& element : elements) {
                out = writeString(out, static_cast<const CStringListElem&>(*element).text());
            }
        },
        data, size);
}

const char16_t* CStringListIteratorImpl::elementValue(IListElem* element) {
    auto* string = dynamic_cast<CStringListElem*>(element);
    return string != nullptr ? string->text().c_str() : nullptr;
}

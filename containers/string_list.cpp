#include "containers/string_list.h"

#include <new>
#include <string_view>
#include <typeinfo>

#include "common/utf16.h"

namespace holm::containers {

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

void CStringListImpl::assignUtf8(const char* const* values, int32_t count) {
    const auto wanted = static_cast<size_t>(count > 0 ? count : 0);
    while (vector_.elements().size() > wanted) {
        vector_.dropLast();
    }
    for (size_t i = 0; i < wanted; ++i) {
        const std::string_view value = values[i] != nullptr ? values[i] : "";
        if (i < vector_.elements().size()) {
            std::u16string& text = static_cast<CStringListElem&>(*vector_.elements()[i]).text();
            text.clear();
            holm::common::appendUtf8ToUtf16(text, value);
        } else {
            addText(holm::common::utf8ToUtf16(value));
        }
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
    // The type is final: comparing the complete type answers what a
    // dynamic_cast would, without its search of the class tree.
    if (element == nullptr || typeid(*element) != typeid(CStringListElem)) {
        return nullptr;
    }
    return static_cast<CStringListElem*>(element)->text().c_str();
}

}  // namespace holm::containers

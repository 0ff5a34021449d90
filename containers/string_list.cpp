#include "containers/string_list.h"

#include <new>

using holm::containers::blockOf;
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

int32_t CStringListImpl::getCount() {
    return vector_.getCount();
}

void CStringListImpl::clear() {
    vector_.clear();
}

HlmPlg::IStringList::Iterator* CStringListImpl::createIterator() {
    return newListIterator<CStringListIteratorImpl>(vector_);
}

void CStringListImpl::releaseIterator(Iterator* iterator) {
    delete iterator;
}

void CStringListImplSerializer::deserialize(const void* data, int32_t size) {
    owner_.clear();
    StringReader reader(blockOf(data, size));
    while (auto text = reader.next()) {
        owner_.addText(std::move(*text));
    }
}

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

const char16_t* CStringListIteratorImpl::first() {
    return elementValue(cursor_->first());
}
const char16_t* CStringListIteratorImpl::next() {
    return elementValue(cursor_->next());
}
const char16_t* CStringListIteratorImpl::last() {
    return elementValue(cursor_->last());
}
const char16_t* CStringListIteratorImpl::prev() {
    return elementValue(cursor_->prev());
}
const char16_t* CStringListIteratorImpl::at(int32_t index) {
    return elementValue(cursor_->at(index));
}

const char16_t* CStringListIteratorImpl::elementValue(IListElem* element) {
    auto* string = dynamic_cast<CStringListElem*>(element);
    return string != nullptr ? string->text().c_str() : nullptr;
}

// The string list (interface id 5): an ordered list of UTF-16 texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "containers/list_base.h"
#include "hlmplg/string_list.h"

namespace holm::containers {

class CStringListElem final : public IListElem {
  public:
    explicit CStringListElem(std::u16string text) : text_(std::move(text)) {}
    const std::u16string& text() const { return text_; }
    std::u16string& text() { return text_; }

  private:
    std::u16string text_;
};

class CStringListImpl;
class CStringListIteratorImpl;

// The list's serialization side; owns the block serialize hands out.
using CStringListImplSerializer = CListSerializer<CStringListImpl>;
template <>
void CStringListImplSerializer::deserialize(const void* data, int32_t size);
template <>
void CStringListImplSerializer::serialize(void** data, uint32_t* size);

class CStringListImpl : public CListImplBase<HlmPlg::IStringList, CStringListIteratorImpl> {
  public:
    void deserialize(const void* data, int32_t size) override;
    void serialize(void** data, uint32_t* size) override;
    void add(const char16_t* text) override;

    // Replaces the content with `count` texts converted from UTF-8 (null
    // pointers as empty texts), reusing the elements held and their storage:
    // one list serves every row of a query without allocating once the texts
    // fit. Raises std::bad_alloc or std::length_error.
    void assignUtf8(const char* const* values, int32_t count);

  private:
    friend CStringListImplSerializer;

    // Appends the text; raises std::length_error when full.
    void addText(std::u16string text);

    CStringListImplSerializer serializer_{*this};
};

class CStringListIteratorImpl
    : public CValueListIterator<HlmPlg::IStringList::Iterator, const char16_t*> {
  public:
    using CValueListIterator::CValueListIterator;
    // The text of a string-list element; null for anything else.
    const char16_t* elementValue(IListElem* element) override;
};

}  // namespace holm::containers

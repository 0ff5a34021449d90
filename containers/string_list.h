// The string list (interface id 5): an ordered list of UTF-16 texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "containers/vector.h"
#include "containers/wire_format.h"
#include "hlmplg/string_list.h"

class CStringListElem : public IListElem {
  public:
    explicit CStringListElem(std::u16string text) : text_(std::move(text)) {}
    const std::u16string& text() const { return text_; }

  private:
    std::u16string text_;
};

class CStringListImpl;

// The list's serialization side; owns the block serialize hands out.
class CStringListImplSerializer : public HlmPlg::ISerializable {
  public:
    explicit CStringListImplSerializer(CStringListImpl& owner) : owner_(owner) {}
    void deserialize(const void* data, int32_t size) override;
    void serialize(void** data, uint32_t* size) override;

  private:
    CStringListImpl& owner_;
    holm::containers::SerializerBuffer buffer_;
};

class CStringListImpl : public HlmPlg::IStringList {
  public:
    void deserialize(const void* data, int32_t size) override;
    void serialize(void** data, uint32_t* size) override;
    void add(const char16_t* text) override;
    int32_t getCount() override;
    void clear() override;
    Iterator* createIterator() override;
    void releaseIterator(Iterator* iterator) override;

  private:
    friend class CStringListImplSerializer;

    // Appends the text; raises std::length_error when full.
    void addText(std::u16string text);

    CVectorImpl vector_;
    CStringListImplSerializer serializer_{*this};
};

class CStringListIteratorImpl : public HlmPlg::IStringList::Iterator {
  public:
    explicit CStringListIteratorImpl(CVectorImpl& vector) : cursor_(vector) {}

    const char16_t* first() override;
    const char16_t* next() override;
    const char16_t* last() override;
    const char16_t* prev() override;
    const char16_t* at(int32_t index) override;
    // The text of a string-list element; null for anything else.
    virtual const char16_t* elementValue(IListElem* element);

    bool valid() const { return cursor_.valid(); }

  private:
    VectorCursor cursor_;
};

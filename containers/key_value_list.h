// The key-value list (interface id 4): an ordered dictionary from UTF-16 keys
// to UTF-16 values. Keys keep the order in which they were first set; an
// index beside the vector, keyed by the A-Z-folded key, makes lookups
// constant time on average.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "containers/ascii_case.h"
#include "containers/list_base.h"
#include "hlmplg/key_value_list.h"

namespace holm::containers {

class CKeyValueListElem : public IListElem {
  public:
    CKeyValueListElem(std::u16string key, std::u16string value)
        : key_(std::move(key)), value_(std::move(value)) {}

    const std::u16string& key() const { return key_; }
    const std::u16string& value() const { return value_; }
    void setValue(std::u16string value) { value_ = std::move(value); }

  private:
    const std::u16string key_;
    std::u16string value_;
};

class CKeyValueListIteratorImpl;

class CKeyValueListImpl : public CListImplBase<HlmPlg::IKeyValueList, CKeyValueListIteratorImpl> {
  public:
    CKeyValueListImpl() = default;
    // A list of at most `maxCount` elements, so that the limit can be
    // exercised.
    explicit CKeyValueListImpl(size_t maxCount) : CListImplBase(maxCount) {}

    void deserialize(const void* data, int32_t size) override;
    void serialize(void** data, uint32_t* size) override;
    void setString(const char16_t* key, const char16_t* value) override;
    void setInt(const char16_t* key, int32_t value) override;
    void setBool(const char16_t* key, bool value) override;
    void setBinary(const char16_t* key, const uint8_t* bytes, int32_t count) override;
    const char16_t* getString(const char16_t* key) override;
    int32_t getInt(const char16_t* key) override;
    bool getBool(const char16_t* key) override;
    bool getBinary(const char16_t* key, uint8_t* out, int32_t count) override;
    bool hasKey(const char16_t* key) override;
    void clear() override;

  private:
    // Replaces the value of an equal key or appends a new element.
    void set(std::u16string_view key, std::u16string value);
    CKeyValueListElem* find(const char16_t* key) const;

    // Folded key -> element; the views point into the elements' own keys.
    std::unordered_map<std::u16string_view, CKeyValueListElem*, holm::containers::FoldedAsciiHash,
                       holm::containers::FoldedAsciiEqual>
        index_;
    holm::containers::SerializerBuffer buffer_;
};

class CKeyValueListIteratorImpl : public CListIteratorBase<HlmPlg::IKeyValueList::Iterator> {
  public:
    using CListIteratorBase::CListIteratorBase;

    const char16_t* first() override;
    const char16_t* next() override;
    const char16_t* last() override;
    const char16_t* prev() override;
    // The key text of a key-value element; null for anything else.
    virtual const char16_t* elementValue(IListElem* element);
};

}  // namespace holm::containers

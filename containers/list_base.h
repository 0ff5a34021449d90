// What the list containers share: the element vector with the operations that
// only hand through to it (count, clear, the life of an iterator, the start
// of a deserialize), the iterators' cursor, and the serialization side that
// the data and string lists embed.
#pragma once

#include <cstdint>

#include "containers/vector.h"
#include "containers/wire_format.h"
#include "hlmplg/serializable.h"

// Base of a list implementing `Interface` (one of the SDK list interfaces)
// whose iterators are `ListIterator`s.
template <class Interface, class ListIterator>
class CListImplBase : public Interface {
  public:
    int32_t getCount() override { return vector_.getCount(); }
    void clear() override { vector_.clear(); }
    typename Interface::Iterator* createIterator() override {
        return newListIterator<ListIterator>(vector_);
    }
    void releaseIterator(typename Interface::Iterator* iterator) override { delete iterator; }

  protected:
    CListImplBase() = default;
    explicit CListImplBase(size_t maxCount) : vector_(maxCount) {}

    // Empties the list (through the list's own clear) and returns the block
    // a deserialize call was given: every deserialize replaces the content.
    holm::containers::Bytes startDeserialize(const void* data, int32_t size) {
        this->clear();
        return holm::containers::blockOf(data, size);
    }

    CVectorImpl vector_;
};

// Base of a list iterator: a cursor over the list's vector, handed back when
// the iterator is destroyed.
template <class Iterator>
class CListIteratorBase : public Iterator {
  public:
    explicit CListIteratorBase(CVectorImpl& vector) : cursor_(vector) {}
    bool valid() const { return cursor_.valid(); }

  protected:
    VectorCursor cursor_;
};

// An iterator whose every step returns the value of the element it reaches
// (`Value` is the interface's return type), read by `elementValue`.
template <class Iterator, class Value>
class CValueListIterator : public CListIteratorBase<Iterator> {
  public:
    using CListIteratorBase<Iterator>::CListIteratorBase;

    Value first() override { return elementValue(this->cursor_->first()); }
    Value next() override { return elementValue(this->cursor_->next()); }
    Value last() override { return elementValue(this->cursor_->last()); }
    Value prev() override { return elementValue(this->cursor_->prev()); }
    Value at(int32_t index) override { return elementValue(this->cursor_->at(index)); }
    // The value of an element of this list; null for anything else.
    virtual Value elementValue(IListElem* element) = 0;
};

// The serialization side a list embeds: `Owner`'s deserialize and serialize
// forward to it, and it owns the block serialize hands out. Each list defines
// the two operations for its own form.
template <class Owner>
class CListSerializer : public HlmPlg::ISerializable {
  public:
    explicit CListSerializer(Owner& owner) : owner_(owner) {}
    void deserialize(const void* data, int32_t size) override;
    void serialize(void** data, uint32_t* size) override;

  private:
    Owner& owner_;
    holm::containers::SerializerBuffer buffer_;
};

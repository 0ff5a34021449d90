// What the list containers share: the element vector with the operations that
// only hand through to it (count, clear, the life of an iterator, the start
// of a deserialize), the iterators' cursor, and the serialization side that
// the data and string lists embed.
#pragma once

#include <atomic>
#include <cstdint>

#include "containers/vector.h"
#include "containers/wire_format.h"
#include "hlmplg/serializable.h"

namespace holm::containers {

// The iterator a list lends again, and whether it is lent now.
struct KeptIterator {
    std::atomic<void*> iterator{nullptr};
    std::atomic<bool> lent{false};
};

// Base of a list implementing `Interface` (one of the SDK list interfaces)
// whose iterators are `ListIterator`s.
//
// The list keeps the first iterator it makes and lends it again whenever it
// is free: a handler that walks the list of every row of a query allocates
// nothing. Further iterators at the same time are made and destroyed as
// usual. A kept iterator that its holder deletes instead of releasing it
// leaves the list's keeping (see CListIteratorBase).
template <class Interface, class ListIterator>
class CListImplBase : public Interface {
  public:
    ~CListImplBase() override { delete keptIterator(); }

    int32_t getCount() override { return vector_.getCount(); }
    void clear() override { vector_.clear(); }
    typename Interface::Iterator* createIterator() override {
        ListIterator* kept = keptIterator();
        if (kept == nullptr) {
            kept = newListIterator<ListIterator>(vector_);
            if (kept == nullptr) {
                return nullptr;
            }
            void* none = nullptr;
            void* made = static_cast<typename Interface::Iterator*>(kept);
            if (!kept_.iterator.compare_exchange_strong(none, made, std::memory_order_acq_rel)) {
                return kept;  // another thread's is kept: this one is an ordinary iterator
            }
            kept->keepIn(kept_);
        }
        if (!kept_.lent.exchange(true, std::memory_order_acquire)) {
            kept->restart();
            return kept;
        }
        return newListIterator<ListIterator>(vector_);
    }
    void releaseIterator(typename Interface::Iterator* iterator) override {
        if (iterator != nullptr &&
            static_cast<void*>(iterator) == kept_.iterator.load(std::memory_order_acquire)) {
            kept_.lent.store(false, std::memory_order_release);
            return;
        }
        delete iterator;
    }

  protected:
    CListImplBase() = default;
    explicit CListImplBase(size_t maxCount) : vector_(maxCount) {}
    CListImplBase(const CListImplBase&) = delete;
    CListImplBase& operator=(const CListImplBase&) = delete;

    // Empties the list (through the list's own clear) and returns the block
    // a deserialize call was given: every deserialize replaces the content.
    holm::containers::Bytes startDeserialize(const void* data, int32_t size) {
        this->clear();
        return holm::containers::blockOf(data, size);
    }

    CVectorImpl vector_;

  private:
    ListIterator* keptIterator() {
        void* kept = kept_.iterator.load(std::memory_order_acquire);
        return static_cast<ListIterator*>(static_cast<typename Interface::Iterator*>(kept));
    }

    holm::containers::KeptIterator kept_;
};

// Base of a list iterator: a cursor over the list's vector, handed back when
// the iterator is destroyed.
template <class Iterator>
class CListIteratorBase : public Iterator {
  public:
    explicit CListIteratorBase(CVectorImpl& vector) : cursor_(vector) {}
    // The list's kept iterator no longer exists once this one is gone.
    ~CListIteratorBase() override {
        if (kept_ != nullptr) {
            void* self = static_cast<Iterator*>(this);
            if (kept_->iterator.compare_exchange_strong(self, nullptr)) {
                kept_->lent.store(false);
            }
        }
    }
    bool valid() const { return cursor_.valid(); }
    // As new: both positions unset.
    void restart() { cursor_->restart(); }
    // This is the iterator `kept` names.
    void keepIn(holm::containers::KeptIterator& kept) { kept_ = &kept; }

  protected:
    VectorCursor cursor_;

  private:
    holm::containers::KeptIterator* kept_ = nullptr;
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

}  // namespace holm::containers

// The element vector shared by the list containers: an ordered, growable array
// of owned, polymorphic elements, with an iterator that walks it forwards and
// backwards and reads by index. Internal to the core; plugins see only the
// list interfaces that wrap it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "common/limits.h"
#include "hlmplg/interface.h"

namespace holm::containers {

// Base of every element a list stores in its vector.
class IListElem {
  public:
    virtual ~IListElem() = default;
};

// Walks a vector. Each operation returns an element or null; see
// CVectorIteratorImpl for the positions.
class IVectorIterator {
  public:
    virtual ~IVectorIterator() = default;
    virtual IListElem* first() = 0;
    virtual IListElem* next() = 0;
    virtual IListElem* last() = 0;
    virtual IListElem* prev() = 0;
    virtual IListElem* at(int32_t index) = 0;
    // Both positions unset again, as in a new iterator.
    virtual void restart() = 0;
};

class IVector : public HlmPlg::IInterface {
  public:
    // Appends the element; the vector owns it from now on (null is stored as
    // given). Raises std::length_error("list<T> too long") when full.
    virtual void add(IListElem* element) = 0;
    virtual int32_t getCount() = 0;
    // Destroys every element; the capacity stays allocated.
    virtual void clear() = 0;
    // A new iterator with both positions unset; null on allocation failure.
    virtual IVectorIterator* createIterator() = 0;
    // Destroys the iterator; null is ignored.
    virtual void releaseIterator(IVectorIterator* iterator) = 0;
};

class CVectorImpl : public IVector {
  public:
    using Elements = std::vector<std::unique_ptr<IListElem>>;

    // The most elements a vector holds: getCount() reports an int32.
    static constexpr size_t kMaxCount = holm::common::kMaxListLength;

    CVectorImpl() = default;
    // A vector limited to fewer elements, so that the limit can be exercised.
    explicit CVectorImpl(size_t maxCount)
        : maxCount_(maxCount < kMaxCount ? maxCount : kMaxCount) {}

    void add(IListElem* element) override;
    int32_t getCount() override;
    void clear() override;
    IVectorIterator* createIterator() override;
    void releaseIterator(IVectorIterator* iterator) override;
    virtual bool isEmpty();

    // Destroys the last element: undoes an add whose follow-up work failed.
    void dropLast() { elements_.pop_back(); }

    // Direct read access for the lists' own serializers.
    const Elements& elements() const { return elements_; }

  private:
    Elements elements_;
    size_t maxCount_ = kMaxCount;
};

// Two independent cursors over one vector: first/next move the forward
// cursor, last/prev the backward cursor, at moves neither. Positions are
// indices checked against the vector's current size on every call, so an
// iterator that outlives an add or clear reads nothing outside the array.
// next before first and prev before last return null.
class CVectorIteratorImpl : public IVectorIterator {
  public:
    explicit CVectorIteratorImpl(const CVectorImpl::Elements& elements) : elements_(elements) {}

    IListElem* first() override;
    IListElem* next() override;
    IListElem* last() override;
    IListElem* prev() override;
    IListElem* at(int32_t index) override;
    void restart() override {
        forward_ = kUnset;
        backward_ = kUnset;
    }

  private:
    // A cursor is unset, at an index, or finished (walked off its end).
    static constexpr int64_t kUnset = -1;
    static constexpr int64_t kFinished = -2;

    IListElem* elementAt(int64_t index) const;

    int64_t forward_ = kUnset;
    int64_t backward_ = kUnset;
    const CVectorImpl::Elements& elements_;
};

// A vector iterator that is handed back to its vector on destruction; the
// list iterators walk through one.
class VectorCursor {
  public:
    explicit VectorCursor(IVector& vector) : vector_(vector), iterator_(vector.createIterator()) {}
    ~VectorCursor() { vector_.releaseIterator(iterator_); }
    VectorCursor(const VectorCursor&) = delete;
    VectorCursor& operator=(const VectorCursor&) = delete;

    bool valid() const { return iterator_ != nullptr; }
    IVectorIterator* operator->() const { return iterator_; }

  private:
    IVector& vector_;
    IVectorIterator* iterator_;
};

// Creates a list iterator over `vector`; null when it or its cursor cannot be
// allocated.
template <class ListIterator>
ListIterator* newListIterator(CVectorImpl& vector) {
    auto* iterator = new (std::nothrow) ListIterator(vector);
    if (iterator != nullptr && !iterator->valid()) {
        delete iterator;
        return nullptr;
    }
    return iterator;
}

}  // namespace holm::containers

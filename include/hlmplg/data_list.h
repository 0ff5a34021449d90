// An ordered list of fixed-size binary records (interface id 6).
#pragma once

#include <cstdint>

#include "hlmplg/export.h"
#include "hlmplg/interface.h"
#include "hlmplg/serializable.h"

namespace HlmPlg {

// Serialized form: the records concatenated in list order, each exactly
// getElementSize() bytes, without header, count or padding. The element size
// is not part of the block; the receiving list must be given the same size.
class HLMPLG_API IDataList : public IInterface, public ISerializable {
  public:
    // Walks the records. Each operation returns the address of the record's
    // bytes inside the list (valid until the record leaves the list; the
    // caller may change the bytes in place) or null at the end of the walk.
    // first/next and last/prev keep separate positions; at moves neither.
    class HLMPLG_API Iterator {
      public:
        virtual ~Iterator() = default;
        virtual void* first() = 0;
        virtual void* next() = 0;
        virtual void* last() = 0;
        virtual void* prev() = 0;
        virtual void* at(int32_t index) = 0;
    };

    // Sets the bytes per record. Ignored while the list holds records, so
    // that every record always holds exactly getElementSize() bytes.
    virtual void setElementSize(uint32_t size) = 0;
    virtual uint32_t getElementSize() = 0;
    // Appends a copy of getElementSize() bytes from `record`; nothing happens
    // for element size 0, a null record or when the copy cannot be allocated.
    virtual void add(const void* record) = 0;
    virtual int32_t getCount() = 0;
    // Removes every record; the element size stays.
    virtual void clear() = 0;
    // A new iterator, handed back with releaseIterator; null on allocation
    // failure.
    virtual Iterator* createIterator() = 0;
    virtual void releaseIterator(Iterator* iterator) = 0;
};

// The layout plugins compile against: the IInterface part, then the
// ISerializable part, no data of its own.
static_assert(sizeof(IDataList) == sizeof(IInterface) + sizeof(ISerializable));
static_assert(sizeof(IDataList::Iterator) == sizeof(void*));

}  // namespace HlmPlg

// An ordered list of UTF-16 texts (interface id 5): the type in which any list
// of texts crosses an interface.
#pragma once

#include <cstdint>

#include "hlmplg/export.h"
#include "hlmplg/interface.h"
#include "hlmplg/serializable.h"

namespace HlmPlg {

// Serialized form: the strings in list order, each as its UTF-16LE code units
// followed by one 0x0000; no count. The list "ab", "c" is the 10-byte block
// 61 00 62 00 00 00 63 00 00 00. Deserializing drops a final string that is
// not terminated inside the block and an odd last byte.
class HLMPLG_API IStringList : public IInterface, public ISerializable {
  public:
    // Walks the texts. Each operation returns the text reached (owned by the
    // list, valid until it leaves the list) or null at the end of the walk.
    // first/next and last/prev keep separate positions; at moves neither.
    class HLMPLG_API Iterator {
      public:
        virtual ~Iterator() = default;
        virtual const char16_t* first() = 0;
        virtual const char16_t* next() = 0;
        virtual const char16_t* last() = 0;
        virtual const char16_t* prev() = 0;
        virtual const char16_t* at(int32_t index) = 0;
    };

    // Appends a copy of the null-terminated text; null counts as empty.
    virtual void add(const char16_t* text) = 0;
    virtual int32_t getCount() = 0;
    virtual void clear() = 0;
    virtual Iterator* createIterator() = 0;
    virtual void releaseIterator(Iterator* iterator) = 0;
};

// The layout plugins compile against: the IInterface part, then the
// ISerializable part, no data of its own.
static_assert(sizeof(IStringList) == sizeof(IInterface) + sizeof(ISerializable));
static_assert(sizeof(IStringList::Iterator) == sizeof(void*));

}  // namespace HlmPlg

// An ordered list of byte blocks, each the serialized form of another
// ISerializable object (interface id 11).
#pragma once

#include <cstdint>

#include "hlmplg/export.h"
#include "hlmplg/interface.h"
#include "hlmplg/serializable.h"

namespace HlmPlg {

// Serialized form: one record per block in list order, each the block's
// length as 4-byte little-endian unsigned integer followed by its bytes. A
// string list holding "ab", "c" added to an empty serializable list gives the
// 14-byte block 0A 00 00 00 61 00 62 00 00 00 63 00 00 00. Deserializing stops
// at a record whose length runs past the block.
class HLMPLG_API ISerializableList : public IInterface, public ISerializable {
  public:
    // Walks the blocks. When an operation reaches a block it hands it to the
    // target's deserialize and returns true; at the end of the walk (or for a
    // null target) it returns false and leaves the target alone.
    class HLMPLG_API Iterator {
      public:
        virtual ~Iterator() = default;
        virtual bool first(ISerializable* target) = 0;
        virtual bool next(ISerializable* target) = 0;
        virtual bool last(ISerializable* target) = 0;
        virtual bool prev(ISerializable* target) = 0;
        virtual bool at(int32_t index, ISerializable* target) = 0;
    };

    // Appends a copy of the object's serialized block; a null object, a null
    // or empty block, or a copy that cannot be allocated adds nothing.
    virtual void add(ISerializable* object) = 0;
    virtual int32_t getCount() = 0;
    virtual void clear() = 0;
    virtual Iterator* createIterator() = 0;
    virtual void releaseIterator(Iterator* iterator) = 0;
};

// The layout plugins compile against: the IInterface part, then the
// ISerializable part, no data of its own.
static_assert(sizeof(ISerializableList) == sizeof(IInterface) + sizeof(ISerializable));
static_assert(sizeof(ISerializableList::Iterator) == sizeof(void*));

}  // namespace HlmPlg

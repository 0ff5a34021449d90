// A small ordered dictionary from UTF-16 keys to UTF-16 values, with typed
// setters and getters (interface id 4).
#pragma once

#include <cstdint>

#include "hlmplg/export.h"
#include "hlmplg/interface.h"
#include "hlmplg/serializable.h"

namespace HlmPlg {

// Keys compare whole, folding only the letters A to Z; elements keep the
// order in which their keys were first set, and the key text of that first
// set. Texts are null-terminated UTF-16; a null key is ignored by the setters
// and finds nothing in the getters.
//
// Serialized form: a serializable-list block with one record per element in
// element order, each record a string-list block of the key and then the
// value. Key a with value 1 is the record 08 00 00 00 61 00 00 00 31 00 00 00.
class HLMPLG_API IKeyValueList : public IInterface, public ISerializable {
  public:
    // Walks the keys (never the values); null at the end of the walk.
    // first/next and last/prev keep separate positions.
    class HLMPLG_API Iterator {
      public:
        virtual ~Iterator() = default;
        virtual const char16_t* first() = 0;
        virtual const char16_t* next() = 0;
        virtual const char16_t* last() = 0;
        virtual const char16_t* prev() = 0;
    };

    // Replaces the value of an equal key in place or appends a new element; a
    // null value is stored as the empty text.
    virtual void setString(const char16_t* key, const char16_t* value) = 0;
    // Stores the number as signed decimal text.
    virtual void setInt(const char16_t* key, int32_t value) = 0;
    // Stores 1 or 0.
    virtual void setBool(const char16_t* key, bool value) = 0;
    // Stores each byte as two upper-case hexadecimal digits; a count of 0 or
    // less (or null bytes) stores the empty text.
    virtual void setBinary(const char16_t* key, const uint8_t* bytes, int32_t count) = 0;
    // The value, owned by the list until it is replaced or leaves the list;
    // the empty text (never null) for a missing key.
    virtual const char16_t* getString(const char16_t* key) = 0;
    // The value read as decimal (leading white space, optional sign, digits up
    // to the first other character, clamped to the int32 range); 0 otherwise.
    virtual int32_t getInt(const char16_t* key) = 0;
    // True exactly when getInt gives 1.
    virtual bool getBool(const char16_t* key) = 0;
    // Reads count bytes from hexadecimal pairs. False, writing nothing, when
    // the value is empty. A pair that does not begin with a hexadecimal digit,
    // or lies past the end of the text, repeats the previous byte (0 first).
    virtual bool getBinary(const char16_t* key, uint8_t* out, int32_t count) = 0;
    virtual bool hasKey(const char16_t* key) = 0;
    virtual int32_t getCount() = 0;
    virtual void clear() = 0;
    virtual Iterator* createIterator() = 0;
    virtual void releaseIterator(Iterator* iterator) = 0;
};

// The layout plugins compile against: the IInterface part, then the
// ISerializable part, no data of its own.
static_assert(sizeof(IKeyValueList) == sizeof(IInterface) + sizeof(ISerializable));
static_assert(sizeof(IKeyValueList::Iterator) == sizeof(void*));

}  // namespace HlmPlg

// Resource texts: named master texts of the product and numbered strings of
// a resource library (interface ids 2 and 21).
#pragma once

#include <cstdint>
#include <string>

#include "hlmplg/export.h"
#include "hlmplg/interface.h"

namespace HlmPlg {

// Interface id 2. Text results point into a buffer of the calling thread:
// valid until that thread's next call on the object, whatever other threads
// do meanwhile. A missing text gives the empty text, never null.
//
// Master texts ("#NAME") and numbered strings are expanded: "$#NAME$" stands
// for the value of the master text "#NAME" (a name that is not defined stays
// as written; references nest to a limited depth, so a cycle ends).
class HLMPLG_API IResString : public IInterface {
  public:
    // The expanded master text `name` ("#NAME", any case of A-Z).
    virtual const char16_t* getText(const char16_t* name) = 0;
    // The expanded string `id` of the resource library or module set below.
    virtual const char16_t* getTextById(uint32_t id) = 0;
    // getText / getTextById, then printf formatting with the arguments.
    virtual const char16_t* formatText(const char16_t* name, ...) = 0;
    virtual const char16_t* formatTextById(uint32_t id, ...) = 0;
    // A '#' name through the master texts (empty when it has none), any
    // other name as it is, in the product directory. Case is kept.
    virtual const char16_t* getFilePath(const char16_t* name) = 0;
    // The product's registry key.
    virtual const char16_t* getMasterRegistryKey() = 0;
    // The registry root (0x80000000 ...) the master text `name` names;
    // 0x80000002 (local machine) for anything else.
    virtual uint32_t getRegistryRoot(const char16_t* name) = 0;
    // Takes numbered strings from a module already loaded (its loader
    // handle), which exports its strings as a resource table.
    virtual bool setResourceModule(void* module) = 0;
    // Takes numbered strings from the resource library at `path` (relative
    // to the product directory), once its signature is verified.
    virtual bool setResourceLibrary(const char16_t* path) = 0;
};

// Interface id 21. Every text is returned by value, owned by the caller.
class HLMPLG_API IResString2 : public IInterface {
  public:
    virtual std::u16string getMasterText(const char16_t* name) = 0;
    // String `id` of the library set with setResourceLibrary; empty before.
    virtual std::u16string loadString(uint32_t id) = 0;
    virtual std::u16string formatMasterText(const char16_t* name, ...) = 0;
    // loadString, then message formatting ("%1" ...) when the text contains
    // "%1", printf formatting otherwise.
    virtual std::u16string formatString(uint32_t id, ...) = 0;
    virtual std::u16string getFilePath(const char16_t* name) = 0;
    // False (the current library stays) when the library cannot be read
    // or is not verified.
    virtual bool setResourceLibrary(const char16_t* path) = 0;
    // The product's registry key once a library is set; empty before.
    virtual std::u16string getProductRegistryKey() = 0;
};

static_assert(sizeof(IResString) == sizeof(IInterface));
static_assert(sizeof(IResString2) == sizeof(IInterface));

// A module serving as resource module exports its strings in the resource
// text file format under this name, and their size in bytes under the next.
inline constexpr const char* kResourceTableSymbol = "HlmResourceTable";
inline constexpr const char* kResourceTableSizeSymbol = "HlmResourceTableSize";

}  // namespace HlmPlg

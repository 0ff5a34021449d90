// The binary interface of the configuration library: the structure its list
// reader fills, the signatures of its nineteen CfgLib_Dll_* entry points and
// the result codes it gives. Shared by the library and the core's binding.
//
// Every entry point returns 0 on success or a Windows error number. Texts are
// NUL-terminated UTF-16. A value is addressed by a path "SECTION\Key". The
// `flag` argument is 1 in Init and 0 in every other call the core makes.
#pragma once

#include <cstdint>

extern "C" {

// A list of texts handed out by the library (ReadList, GetSubElements,
// CreateList): `count` pointers to UTF-16 texts. The library owns it until
// CfgLib_Dll_FreeList.
struct CfgLibList {
    int32_t count;
    char16_t** items;
};

typedef void* CfgLibHandle;

typedef int32_t (*CfgLibInitFn)(CfgLibHandle* handle, const char16_t* configurationFile,
                                uint8_t flag);
typedef int32_t (*CfgLibDoneFn)(CfgLibHandle* handle);
typedef int32_t (*CfgLibReloadFn)(CfgLibHandle handle);
typedef int32_t (*CfgLibChangeConfigFileFn)(CfgLibHandle handle, const char16_t* configurationFile,
                                            uint8_t flag);
// With a null `buffer`, sets `*size` to the units the value needs (with its
// terminator); with a buffer of `*size` units, copies the value (the default
// when the value is not set). A buffer too small gives kCfgLibMoreData and
// the size needed.
typedef int32_t (*CfgLibReadStringFn)(CfgLibHandle handle, const char16_t* path,
                                      const char16_t* defaultValue, char16_t* buffer,
                                      uint32_t* size, uint8_t flag);
typedef int32_t (*CfgLibReadIntFn)(CfgLibHandle handle, const char16_t* path, int32_t defaultValue,
                                   int32_t* value, uint8_t flag);
typedef int32_t (*CfgLibReadHexFn)(CfgLibHandle handle, const char16_t* path, uint32_t defaultValue,
                                   uint32_t* value, uint8_t flag);
// A stored list is split at each occurrence of `separator` (null: ","); a
// value that is not set gives kCfgLibNotFound, and the caller builds the
// list from its default.
typedef int32_t (*CfgLibReadListFn)(CfgLibHandle handle, const char16_t* path,
                                    const char16_t* defaultValue, const char16_t* separator,
                                    CfgLibList** list, uint8_t flag);
typedef int32_t (*CfgLibWriteStringFn)(CfgLibHandle handle, const char16_t* path,
                                       const char16_t* value, uint8_t flag);
typedef int32_t (*CfgLibWriteIntFn)(CfgLibHandle handle, const char16_t* path, int32_t value,
                                    uint8_t flag);
typedef int32_t (*CfgLibWriteHexFn)(CfgLibHandle handle, const char16_t* path, uint32_t value,
                                    uint8_t flag);
// Stores the items joined by `separator` (null: ",").
typedef int32_t (*CfgLibWriteListFn)(CfgLibHandle handle, const char16_t* path,
                                     const CfgLibList* list, const char16_t* separator,
                                     uint8_t flag);
// The keys of section `path`, or with an empty path the sections.
typedef int32_t (*CfgLibGetSubElementsFn)(CfgLibHandle handle, const char16_t* path,
                                          CfgLibList** list, uint8_t flag);
// Removes a key ("SECTION\Key") or a whole section ("SECTION").
typedef int32_t (*CfgLibRemoveNodeFn)(CfgLibHandle handle, const char16_t* path, uint8_t flag);
typedef int32_t (*CfgLibCreateListFn)(CfgLibList** list);
typedef int32_t (*CfgLibAddListItemFn)(CfgLibList* list, const char16_t* item);
typedef int32_t (*CfgLibFreeListFn)(CfgLibList** list);
typedef int32_t (*CfgLibClearListFn)(CfgLibList* list);
typedef int32_t (*CfgLibCopyListContentFn)(CfgLibList* target, const CfgLibList* source);

}  // extern "C"

namespace holm::common::cfglib {

constexpr int32_t kCfgLibOk = 0;
constexpr int32_t kCfgLibNotFound = 2;           // ERROR_FILE_NOT_FOUND
constexpr int32_t kCfgLibOutOfMemory = 8;        // ERROR_NOT_ENOUGH_MEMORY
constexpr int32_t kCfgLibInvalidData = 13;       // ERROR_INVALID_DATA
constexpr int32_t kCfgLibWriteFault = 29;        // ERROR_WRITE_FAULT
constexpr int32_t kCfgLibInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr int32_t kCfgLibMoreData = 234;         // ERROR_MORE_DATA

}  // namespace holm::common::cfglib

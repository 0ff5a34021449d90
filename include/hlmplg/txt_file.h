// Line-oriented text files (interface id 15): UTF-16LE with a byte-order
// mark, or 8-bit text (UTF-8 on this platform) without one.
#pragma once

#include <cstdint>

#include "hlmplg/export.h"
#include "hlmplg/interface.h"
#include "hlmplg/string_list.h"

namespace HlmPlg {

// One thread at a time uses an object. Every line written ends in CR LF.
// Failures return false and keep a Windows error number for getLastError
// (80 the file exists, 2 not found, 5 access denied or not a regular file,
// 32 another text-file object holds it, 6 no file open, 38 no line to read,
// 223 ERROR_FILE_TOO_LARGE: readLines of a file over 64 MiB, refused before
// anything is read).
//
// Rewrites (create of an existing file, writeLines) replace the file
// atomically and keep the owner, group and mode of the file they replace; a
// new file is 0644. Hard links to the old file are not kept (they still
// show the old content).
class HLMPLG_API ITxtFile : public IInterface {
  public:
    // Creates `path` for reading and writing: anew when `failIfExists` (80
    // if it exists), else replacing any file there. A UTF-16 file starts
    // with FF FE at once. The path is not recorded for writeLines.
    virtual bool create(const char16_t* path, bool unicode, bool failIfExists) = 0;
    // Opens an existing file; FF FE at its start makes it a UTF-16 file.
    virtual bool open(const char16_t* path, bool writable) = 0;
    // Closes the file if one is open; always true.
    virtual bool close() = 0;
    // Replaces the list's content with the file's lines, without their line
    // ends; false when the file holds no line.
    virtual bool readLines(IStringList* lines) = 0;
    // Replaces the content of the file last opened with the list's texts as
    // lines, in its encoding, and leaves it open.
    virtual bool writeLines(IStringList* lines) = 0;
    // Appends `text` and a line end at the end of the file.
    virtual bool appendLine(const char16_t* text) = 0;
    // The Windows error number of the last failure; 0 before any.
    virtual uint32_t getLastError() = 0;
};

// No data beyond the IInterface part.
static_assert(sizeof(ITxtFile) == sizeof(IInterface));

}  // namespace HlmPlg

// Sectioned key=value files (interface id 16), in one of two modes chosen
// by `open`:
// - profile mode: every get reads the file and every set rewrites it at
//   once, with the rules of the classic private-profile functions (names
//   compare with A-Z folded, blanks around names and values are dropped,
//   a null value deletes a key, a null key deletes a section, the file keeps
//   its encoding, every other line stays as it was);
// - block mode: `open` loads the whole file once, gets and sets work on that
//   copy, and `close` (or setString with section, key and value all null)
//   writes it back in one piece; keys come out sorted, comments and lines
//   without "=" inside sections are dropped, the lines before the first
//   section header stay as they were.
// Every write replaces the file atomically: whoever reads it, and whatever
// survives a crash, sees the old file or the new one. The new file keeps the
// owner, group and mode of the one it replaces (a new file is 0644); hard
// links to the old file are not kept (they still show the old content).
// Block mode writes back what it did not change byte for byte, in the
// encoding and with the byte-order mark it read; its sets refuse (false) a
// line end in any name or value, an empty section name or one starting with
// "[" or holding "]", and a key holding "=" or starting with "[" or "#".
// Profile-mode edits keep the file's line ends (LF or CR LF). A write that
// finds the file held by another writer or an open text file waits a short
// bounded time, then fails rather than hang.
#pragma once

#include <cstdint>

#include "hlmplg/export.h"
#include "hlmplg/interface.h"
#include "hlmplg/string_list.h"

namespace HlmPlg {

// One thread at a time uses an object. Section and key are required for the
// get operations; texts returned belong to the object until its next get.
class HLMPLG_API IIniFile : public IInterface {
  public:
    // Records the path and the mode; block mode loads the file (a missing or
    // unreadable file loads as empty, and is never overwritten by `close`).
    // True, except for a block-mode file over 64 MiB: false at once, nothing
    // read (the text file's error 223, ERROR_FILE_TOO_LARGE, for the same
    // file).
    virtual bool open(const char16_t* path, bool blockMode) = 0;
    // Block mode: writes the file and forgets it; false when it cannot be
    // written (the file is then unchanged). Profile mode: true.
    virtual bool close() = 0;
    virtual const char16_t* getString(const char16_t* section, const char16_t* key,
                                      const char16_t* defaultValue) = 0;
    // The value read as a decimal integer (leading blanks, optional sign,
    // digits up to the first other character); the default when empty.
    virtual int32_t getInt(const char16_t* section, const char16_t* key, int32_t defaultValue) = 0;
    // "0x1F" or "1f" give 31; a value that is no hexadecimal number gives the
    // default.
    virtual uint32_t getHex(const char16_t* section, const char16_t* key,
                            uint32_t defaultValue) = 0;
    // True exactly when the value reads as the integer 1.
    virtual bool getBool(const char16_t* section, const char16_t* key, bool defaultValue) = 0;
    // Replaces `out`'s content with the values of a multi-valued key: with a
    // separator, the pieces of one value; without one, the values of the
    // keys KEY0, KEY1, ... up to the first missing or empty one. True when
    // `out` holds at least one string.
    virtual bool getStringList(const char16_t* section, const char16_t* key,
                               const char16_t* defaultValue, IStringList* out,
                               const char16_t* separator) = 0;
    virtual bool setString(const char16_t* section, const char16_t* key, const char16_t* value) = 0;
    virtual bool setInt(const char16_t* section, const char16_t* key, int32_t value) = 0;
    // Written as "0x" and eight lower-case hexadecimal digits.
    virtual bool setHex(const char16_t* section, const char16_t* key, uint32_t value) = 0;
    virtual bool setBool(const char16_t* section, const char16_t* key, bool value) = 0;
    // With a separator: one value, every string followed by the separator.
    // Without: KEY0, KEY1, ... after the old numbered keys are removed.
    virtual bool setStringList(const char16_t* section, const char16_t* key, IStringList* list,
                               const char16_t* separator) = 0;
};

// No data beyond the IInterface part.
static_assert(sizeof(IIniFile) == sizeof(IInterface));

}  // namespace HlmPlg

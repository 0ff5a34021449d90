// The block-mode store of an INI file: the whole file in memory, written
// back in one piece.
//
// Load rules: only spaces (U+0020) around a line are dropped; a line
// starting with "#" is a comment; "[name]" starts a section (every leading
// "[" and trailing "]" removed; "[]" starts one that is never kept); inside
// a named section "key=value" splits at the first "=", with key and value
// exactly as they stand; every other line, and every line before the first
// header, means nothing. Sections keep their order and their duplicates;
// keys are unique within a section with A-Z folded and keep the spelling
// they were first read with.
//
// Written form: the lines before the first header as they were read, then
// per section "[name]", its "key=value" lines sorted with A-Z folded, and an
// empty line, every line ended by CR LF. The file is replaced atomically;
// an existing file keeps its encoding and byte-order mark (UTF-16LE with
// FF FE, UTF-8 with EF BB BF, or 8-bit without mark), a new one is UTF-16LE
// with mark. A line that does not read back as the same bytes (bytes that
// are no UTF-8, a NUL, a lone CR) is written as the very bytes it was read
// from while it is unchanged: a file only read and closed loses nothing.
//
// Refused writes (false, nothing changed), so that no name or value can
// make the written file read back with other sections or keys: a line end
// (CR or LF) in any section name, key or value; an empty section name, or
// one that starts with "[" or holds "]"; a key that holds "=" or starts with
// "[" or "#" (the line would read back as a header or a comment).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hlmplg/string_list.h"

namespace holm::containers {

// Orders texts code unit by code unit after folding A-Z to a-z.
struct FoldedAsciiLess {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const;
};

struct IniSection {
    using Entries = std::map<std::u16string, std::u16string, FoldedAsciiLess>;
    std::u16string name;
    Entries entries;
    // The bytes (without line end) of a header or an entry line that does
    // not read back as the same bytes, written instead while unchanged.
    std::optional<std::string> rawHeader;
    std::map<std::u16string, std::string, FoldedAsciiLess> rawEntries;
};

class CIniFileWithBlockMode {
  public:
    CIniFileWithBlockMode() = default;
    virtual ~CIniFileWithBlockMode() = default;
    CIniFileWithBlockMode(const CIniFileWithBlockMode&) = delete;
    CIniFileWithBlockMode& operator=(const CIniFileWithBlockMode&) = delete;

    // Forgets everything and loads the file at `path`; a missing or empty
    // file loads as empty. True, except for a file over the text file's
    // size limit: false (error 223), nothing read, and no later write
    // replaces it.
    virtual bool load(const char16_t* path);
    // writeFile, then forgets path, sections and lines; writeFile's result.
    virtual bool close();
    // The value of the first section named `section` that has `key`;
    // `defaultValue` itself when none has it.
    virtual const char16_t* getString(const char16_t* section, const char16_t* key,
                                      const char16_t* defaultValue);
    // All three null: writeFile. Key and value null: removes every section
    // of that name. Value null: removes the key from the first section of
    // that name. Otherwise sets the key in the first section of that name,
    // appending the section if there is none (a null key is the empty key).
    // A null section with a key or value, or names and values refused as
    // above: false, nothing changed.
    virtual bool setString(const char16_t* section, const char16_t* key, const char16_t* value);
    // Writes the store to its path. False when there is no path, when the
    // file could not be written, or when the file exists but could not be
    // read at load (writing would lose what was not read); the file is then
    // as it was.
    virtual bool writeFile();

    // Loading apart from any file: forgets everything, takes the file's
    // lines (without line ends) one at a time, and ends with finishLines.
    void startLines();
    void addLine(std::u16string_view line);
    // The same for a line whose text does not give back its bytes `raw`.
    void addLine(std::u16string_view line, std::optional<std::string> raw);
    void finishLines();
    // Loads the content of a file (byte-order mark included).
    void loadBytes(std::string_view bytes);
    // The lines writeFile writes, as texts.
    std::vector<std::u16string> outputLines() const;
    // The bytes writeFile writes.
    std::string outputBytes() const;
    const std::vector<holm::containers::IniSection>& sections() const { return sections_; }

  private:
    void keepCurrentSection();

    std::u16string path_;
    std::vector<holm::containers::IniSection> sections_;
    // The lines before the first header: the only lines written as read.
    std::vector<std::u16string> leadingLines_;
    std::vector<std::optional<std::string>> leadingRaw_;
    // How the file was encoded: a new file is UTF-16LE with mark.
    enum class Encoding { Utf16Le, Utf8Mark, Utf8 };
    Encoding encoding_ = Encoding::Utf16Le;
    bool headerSeen_ = false;
    holm::containers::IniSection current_;
    bool unreadable_ = false;
};

}  // namespace holm::containers

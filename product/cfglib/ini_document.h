// The configuration file in INI form, as the configuration library holds it:
//
//   ; a comment (also "#")
//   [COMMON]
//   TempDirectory = /var/tmp/holm
//
// Text is UTF-8 (with or without a byte-order mark) or UTF-16 with a
// byte-order mark (either byte order). Section and key names compare with
// A-Z folded; blanks around names and values are dropped; a value enclosed
// in double quotes keeps its inner text as it stands. Lines that are neither
// a section header nor "key=value" are kept but mean nothing. A key repeated
// within a section, or a section repeated, counts at its first place.
//
// Changes keep every other line, its spelling and its order, and the file's
// encoding, so that rewriting the file changes only what was asked.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace holm::product::cfglib {

class IniDocument {
  public:
    enum class Encoding { Utf8, Utf8Bom, Utf16Le, Utf16Be };

    IniDocument() = default;
    // Never fails: bytes that do not decode become U+FFFD, lines that do not
    // parse are kept as they stand.
    static IniDocument parse(std::string_view bytes);
    // The file's bytes in its original encoding and line ends.
    std::string serialize() const;

    // The value at "SECTION\Key" (split at the first backslash), if set.
    std::optional<std::u16string_view> find(std::u16string_view path) const;
    // Sets the value; false when section, key or value cannot be written in
    // this form (a line break anywhere, '=' or a leading '[' ';' '#' in the
    // key, ']' in the section, an empty key).
    bool set(std::u16string_view path, std::u16string_view value);
    // Removes a key ("SECTION\Key") or a section with all its lines
    // ("SECTION"); false when there was nothing to remove.
    bool remove(std::u16string_view path);
    // The keys of `section` in file order, or with an empty section the
    // section names.
    std::vector<std::u16string> subElements(std::u16string_view section) const;

  private:
    enum class Kind { Other, Section, Entry };
    struct Line {
        std::u16string text;
        Kind kind = Kind::Other;
        std::u16string section;  // folded name of the section it belongs to
        std::u16string name;     // the section's or key's name as written
        std::u16string value;
    };

    static Line parseLine(std::u16string text, const std::u16string& currentSection);
    static bool splitPath(std::u16string_view path, std::u16string_view& section,
                          std::u16string_view& key);
    void reindex();
    // Index of the last line that belongs to `section` (folded), or nullopt.
    std::optional<size_t> lastLineOf(const std::u16string& section) const;

    Encoding encoding_ = Encoding::Utf8;
    bool crlf_ = false;
    bool finalNewline_ = true;
    std::vector<Line> lines_;
    // Folded "section\key" -> line index of its first occurrence.
    std::unordered_map<std::u16string, size_t> index_;
};

}  // namespace holm::product::cfglib

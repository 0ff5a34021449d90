// A sectioned key=value file in profile form, read and edited the way the
// classic private-profile functions treat it:
//
//   [Section]          blanks around the name inside the brackets dropped
//   Key = Value        blanks around key and value dropped; a value in
//                      matching double or single quotes loses them
//   ; comment          never a key
//
// Section and key names compare with A-Z folded; the first section and the
// first key of a name count. An edit changes only the lines it must: every
// other line keeps its bytes (invalid UTF-8, NULs, an odd last byte of a
// UTF-16 file included), its line end and its place, and the file keeps its
// encoding (UTF-8 with or without mark, UTF-16LE or UTF-16BE with mark).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace holm::containers {

class IniProfile {
  public:
    enum class Encoding { Utf8, Utf8Mark, Utf16Le, Utf16Be };

    // A document of the file's bytes; never fails (undecodable text becomes
    // U+FFFD in the decoded lines and stays as it was in the bytes).
    static IniProfile parse(std::string_view bytes);
    // A new, empty document in `encoding`.
    explicit IniProfile(Encoding encoding = Encoding::Utf8) : encoding_(encoding) {}

    // The value of `key` in `section`, trimmed and unquoted; nullopt when the
    // file has no such key.
    std::optional<std::u16string> find(std::u16string_view section, std::u16string_view key) const;

    // Sets the value of `key` in the first section named `section`, adding
    // the key at the end of the section or the section at the end of the
    // file. False (nothing changed) for names and values that cannot be
    // written without changing the file's structure: a line end in any of
    // them, "]" in the section, "=" in the key, a blank key or section, a key
    // starting with "[" or ";".
    bool set(std::u16string_view section, std::u16string_view key, std::u16string_view value);
    // Removes the first `key` of the first section named `section`.
    void removeKey(std::u16string_view section, std::u16string_view key);
    // Removes every section named `section` with all its lines.
    void removeSection(std::u16string_view section);

    Encoding encoding() const { return encoding_; }
    // The file's bytes, mark included.
    std::string bytes() const;

  private:
    struct Line {
        std::u16string text;  // decoded, without line end
        std::string raw;      // the bytes, line end included
    };
    enum class Kind { Other, Header, Entry };
    struct Parsed {
        Kind kind = Kind::Other;
        std::u16string_view name;   // section of a header, key of an entry
        std::u16string_view value;  // value of an entry (trimmed, quoted)
    };
    static Parsed parseLine(std::u16string_view text);

    // The index of the first header line named `section`; npos when none.
    size_t findSection(std::u16string_view section, size_t from = 0) const;
    // The index of the line after the last line of the section whose header
    // is at `header`.
    size_t sectionEnd(size_t header) const;
    size_t findKey(size_t header, std::u16string_view key) const;
    // A new line of `text` in the file's encoding, ended with CR LF.
    Line makeLine(std::u16string text) const;
    bool endsWithLineFeed(const std::string& raw) const;
    // Gives the line at `index` a line end if it has none (the last line).
    void endLine(size_t index);
    void insert(size_t at, Line line);

    Encoding encoding_;
    // The line end of lines written anew: LF in a file whose lines all end
    // in a bare LF, else CR LF.
    std::u16string lineEnd_ = u"\r\n";
    std::vector<Line> lines_;
};

}  // namespace holm::containers

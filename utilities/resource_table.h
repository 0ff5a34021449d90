// The table source from which resource text files are built.
//
// UTF-8 text, one entry per line: a decimal id (0 to 4294967295), a tab or
// blanks, then the text up to the end of the line. Lines that are empty or
// whose first non-blank character is '#' are ignored. In the text, "\n", "\r",
// "\t" and "\\" stand for a line feed, a carriage return, a tab and a
// backslash; any other backslash sequence is an error. A trailing carriage return is dropped.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace Tandro::Utilities {

// Raised for a table source that breaks the rules above; the text names the
// line.
class ResourceTableError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Parses a whole table source into id -> text. Duplicate ids are errors.
std::map<uint32_t, std::u16string> parseResourceTable(std::string_view source);

// One text written back in table-source form (line breaks, tabs and
// backslashes escaped), so that listed texts can be pasted into a table.
std::string escapeResourceText(std::u16string_view text);

}  // namespace Tandro::Utilities

// Outside text (file contents, file and plugin names, plugin messages,
// command-line arguments) made safe to place in a log line.
//
// The rule: every piece of outside text that goes into a log line passes
// through logInsert() first, and every sink that writes lines passes the whole
// text through logLineText() (the host's standard error) or reportLineText()
// (report files). So a log line never carries a raw control character from
// outside (but for a tab in a report file), one line of text is always one
// line of output, and no insert makes a line grow without bound.
//
// Escapes: "\n", "\r" and "\t" for those three; "\xHH" for every other C0
// control, DEL and the C1 controls (U+0080..U+009F); "\uHHHH" for the line and
// paragraph separators (U+2028, U+2029) and the bidirectional embeddings,
// overrides and isolates (U+202A..U+202E, U+2066..U+2069), which some viewers
// act upon. A backslash is not escaped: escapes are for reading, not for
// reversing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace holm::common {

// The most UTF-16 units of one insert that are kept (escapes count as the
// units they produce); the rest is replaced by a marker saying how many units
// of the original were cut: "...[cut 8388000 more]".
inline constexpr size_t kMaxLogInsert = 1024;
// The most UTF-16 units of a whole line's text kept by a sink.
inline constexpr size_t kMaxLogLine = 16384;

// `text` with control characters escaped and cut after `limit` units.
std::u16string logInsert(std::u16string_view text, size_t limit = kMaxLogInsert);
// The same for UTF-8 text; the result is UTF-8 (invalid sequences become
// U+FFFD).
std::string logInsert(std::string_view text, size_t limit = kMaxLogInsert);

// A whole line's text as a sink writes it: escaped like an insert and cut at
// kMaxLogLine. Text that is already safe comes back unchanged.
std::u16string logLineText(std::u16string_view text);
std::string logLineText(std::string_view text);

// A line's text as a report file holds it: like logLineText, but a tab stays
// a tab. A tab cannot end or forge a line, and plugins lay out columns with
// it; on a terminal (standard error) it is escaped like the other controls.
std::u16string reportLineText(std::u16string_view text);
// The same, appended to `out` (a line being laid out in place).
void appendReportLineText(std::u16string& out, std::u16string_view text);
// The same for text already at the end of `out`, from `from` on (a line
// formatted in place); nothing moves when the text is safe as it is.
void makeReportLineText(std::u16string& out, size_t from);

}  // namespace holm::common

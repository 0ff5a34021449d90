// The line rules of text files, apart from any file: decoding the bytes of a
// UTF-16LE or UTF-8 file into cleaned lines, and encoding lines back.
//
// The decoder takes the bytes in chunks of any size and gives the same lines
// however the file is cut into chunks: a UTF-8 sequence, a UTF-16 unit or a
// line split between two chunks is completed by the next one, and each line
// is cleaned as a whole.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf16.h"

namespace holm::containers {

enum class TextEncoding { Utf16Le, Utf8 };

// The mark that starts a UTF-16LE text file.
inline constexpr char kUtf16LeMark[2] = {'\xFF', '\xFE'};

// Cleans one line as text files hand it out: every CR or LF becomes '|', then
// every '|' at either end is removed ("a\r" gives "a", "x\ry" gives "x|y").
std::u16string cleanLine(std::u16string_view line);

class TextLineDecoder {
  public:
    explicit TextLineDecoder(TextEncoding encoding) : encoding_(encoding) {}

    // Decodes the next bytes of the file and appends every line they complete
    // (ended by an LF) to `lines`. Invalid UTF-8 becomes U+FFFD; UTF-16 units
    // are kept as they are. A NUL becomes U+FFFD, since a list text ends at
    // its first NUL and would otherwise lose the rest of the line.
    void feed(std::string_view bytes, std::vector<std::u16string>& lines);
    // Ends the file: an incomplete UTF-8 sequence or an odd last byte of a
    // UTF-16 file becomes U+FFFD, and a last line without line end is
    // appended unless it cleans to nothing. The decoder is then ready for a
    // new file.
    void finish(std::vector<std::u16string>& lines);

  private:
    void decode(std::string_view bytes, std::u16string& out);
    void splitLines(std::u16string_view text, std::vector<std::u16string>& lines);

    TextEncoding encoding_;
    common::Utf8ToUtf16Decoder utf8_;
    int pendingByte_ = -1;  // first byte of a UTF-16 unit cut by a chunk end
    std::u16string pendingLine_;
};

// The bytes of `text` followed by CR LF: UTF-16LE code units, or UTF-8 with
// every unpaired surrogate written as U+FFFD.
void appendEncodedLine(std::u16string_view text, TextEncoding encoding, std::string& out);

}  // namespace holm::containers

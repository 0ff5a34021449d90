// Feeds arbitrary bytes to the text-file line decoder in both encodings, cut
// into chunks whose sizes come from the input, and checks that the lines do
// not depend on where the chunks end.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "containers/text_lines.h"

namespace {

using holm::containers::TextEncoding;
using holm::containers::TextLineDecoder;

std::vector<std::u16string> decode(std::string_view bytes, TextEncoding encoding, size_t chunk) {
    TextLineDecoder decoder(encoding);
    std::vector<std::u16string> lines;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        decoder.feed(bytes.substr(at, chunk), lines);
    }
    decoder.finish(lines);
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t chunk = 1 + data[0] % 16;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (const auto encoding : {TextEncoding::Utf8, TextEncoding::Utf16Le}) {
        const auto whole = decode(bytes, encoding, bytes.size() + 1);
        if (decode(bytes, encoding, chunk) != whole) {
            __builtin_trap();  // the chunking changed the lines
        }
        for (const auto& line : whole) {
            if (line.find(u'\0') != std::u16string::npos) {
                __builtin_trap();  // a NUL would cut the line in a list
            }
        }
    }
    return 0;
}

// Feeds arbitrary bytes to both INI parsers.
//
// Profile form: the document gives back the file's bytes unchanged, and an
// edit is read back as written. Block form (the bytes decoded as a UTF-8 and
// as a UTF-16 text file): writing the store and loading what was written
// gives the same lines again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "containers/ini_block.h"
#include "containers/ini_profile.h"
#include "containers/text_lines.h"

namespace {

using holm::containers::CIniFileWithBlockMode;

using holm::containers::IniProfile;
using holm::containers::TextEncoding;
using holm::containers::TextLineDecoder;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void fuzzProfile(std::string_view bytes) {
    IniProfile profile = IniProfile::parse(bytes);
    check(profile.bytes() == bytes);
    if (profile.set(u"Fuzz", u"key", u"value")) {
        check(profile.find(u"fuzz", u"KEY") == u"value");
        const std::string edited = profile.bytes();
        check(IniProfile::parse(edited).bytes() == edited);
        check(IniProfile::parse(edited).find(u"FUZZ", u"key") == u"value");
    }
    profile.removeSection(u"fuzz");
    check(!profile.find(u"Fuzz", u"key"));
}

std::vector<std::u16string> loadAndWrite(const std::vector<std::u16string>& lines) {
    CIniFileWithBlockMode store;
    store.startLines();
    for (const auto& line : lines) {
        store.addLine(line);
    }
    store.finishLines();
    return store.outputLines();
}

void fuzzBlock(std::string_view bytes, TextEncoding encoding) {
    TextLineDecoder decoder(encoding);
    std::vector<std::u16string> lines;
    decoder.feed(bytes, lines);
    decoder.finish(lines);
    const auto written = loadAndWrite(lines);
    check(loadAndWrite(written) == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    fuzzProfile(bytes);
    fuzzBlock(bytes, TextEncoding::Utf8);
    fuzzBlock(bytes, TextEncoding::Utf16Le);
    return 0;
}

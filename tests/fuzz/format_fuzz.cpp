// Formats the input, read as a UTF-8 format and as a UTF-16LE format, in both
// styles over a fixed argument array (never a va_list: an arbitrary format
// must not be able to read past its arguments), and runs the UTF-8/UTF-16
// converters over the raw bytes, checking that they agree with each other.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/utf16.h"

namespace {

using holm::common::FormatArg;

std::vector<FormatArg> makeArguments() {
    static const char kNarrow[] = "narrow \xC3\xA9";
    static const char16_t kWide[] = u"wide \U0001F600";
    static int target = 0;
    std::vector<FormatArg> args;
    auto add = [&](const FormatArg& arg) { args.push_back(arg); };
    FormatArg arg;
    for (uint64_t value : {uint64_t{42}, ~uint64_t{0}, uint64_t{1} << 40, uint64_t{7}}) {
        arg.kind = FormatArg::Kind::Integer;
        arg.integer = value;
        add(arg);
    }
    arg.kind = FormatArg::Kind::Real;
    arg.real = -1.25e300;
    add(arg);
    arg.kind = FormatArg::Kind::NarrowText;
    arg.narrow = {kNarrow, FormatArg::kTerminated};
    add(arg);
    arg.narrow = {kNarrow, 3};
    add(arg);
    arg.narrow = {nullptr, FormatArg::kTerminated};
    add(arg);
    arg.kind = FormatArg::Kind::WideText;
    arg.wide = {kWide, FormatArg::kTerminated};
    add(arg);
    arg.wide = {kWide, 7};  // ends inside the surrogate pair
    add(arg);
    arg.wide = {nullptr, 0};
    add(arg);
    arg.kind = FormatArg::Kind::Pointer;
    arg.pointer = &target;
    add(arg);
    return args;
}

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void checkConverters(std::string_view bytes, std::u16string_view units) {
    // UTF-8 produced from any UTF-16 is valid and survives a round trip.
    const std::string utf8 = holm::common::utf16ToUtf8(units);
    require(holm::common::utf16ToUtf8(holm::common::utf8ToUtf16(utf8)) == utf8);

    // Incremental decoding agrees with one-shot decoding at any split.
    const std::u16string whole = holm::common::utf8ToUtf16(bytes);
    const size_t split = bytes.empty() ? 0 : static_cast<uint8_t>(bytes[0]) % bytes.size();
    holm::common::Utf8ToUtf16Decoder decoder;
    std::u16string pieces;
    decoder.feed(bytes.substr(0, split), pieces);
    decoder.feed(bytes.substr(split), pieces);
    decoder.finish(pieces);
    require(pieces == whole);

    holm::common::Utf16LeToUtf8Decoder leDecoder;
    std::string fromLe;
    leDecoder.feed(bytes.substr(0, split), fromLe);
    leDecoder.feed(bytes.substr(split), fromLe);
    leDecoder.finish(fromLe);
    require(bytes.size() % 2 != 0 || fromLe == utf8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<FormatArg> args = makeArguments();
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::u16string units(size / 2, u'\0');
    if (!units.empty()) {
        std::memcpy(units.data(), data, units.size() * 2);
    }

    std::string narrowOut;
    holm::common::appendPrintf(narrowOut, bytes, args);
    std::u16string wideOut;
    holm::common::appendPrintf(wideOut, units, args);
    wideOut.clear();
    holm::common::appendMessage(wideOut, units, args);
    wideOut.clear();
    holm::common::appendFormat(wideOut, holm::common::utf8ToUtf16(bytes), args);

    checkConverters(bytes, units);
    return 0;
}

#include "common/format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <optional>

#include "common/utf16.h"

namespace holm::common {
namespace {

using detail::ArgClass;
using detail::Conversion;
using detail::MessageToken;
using detail::SizeModifier;

// A text argument: `size` may be FormatArg::kTerminated; a null `data` prints
// "(null)".
template <class Char>
struct TextArg {
    const Char* data;
    size_t size;
};

// ---- Argument sources -------------------------------------------------------
// The engine reads arguments through a source: either a va_list (trusted) or
// an array of FormatArg (checked: a missing or mismatched argument gives
// nothing, and the conversion is then copied as it stands).

class VaListSource {
  public:
    explicit VaListSource(va_list args) { va_copy(args_, args); }
    ~VaListSource() { va_end(args_); }
    VaListSource(const VaListSource&) = delete;
    VaListSource& operator=(const VaListSource&) = delete;

    std::optional<uint64_t> integer(ArgClass argClass) {
        // Every integer vararg fills one 8-byte slot; read it at its width.
        if (argClass == ArgClass::Int64) {
            return va_arg(args_, unsigned long long);
        }
        return va_arg(args_, unsigned int);
    }
    std::optional<double> real(ArgClass argClass) {
        if (argClass == ArgClass::LongDouble) {
            return static_cast<double>(va_arg(args_, long double));
        }
        return va_arg(args_, double);
    }
    std::optional<TextArg<char>> narrowText() {
        return TextArg<char>{va_arg(args_, const char*), FormatArg::kTerminated};
    }
    std::optional<TextArg<char16_t>> wideText() {
        return TextArg<char16_t>{va_arg(args_, const char16_t*), FormatArg::kTerminated};
    }
    std::optional<const void*> pointer() { return va_arg(args_, const void*); }

  private:
    va_list args_;
};

class ArraySource {
  public:
    explicit ArraySource(std::span<const FormatArg> args) : args_(args) {}

    std::optional<uint64_t> integer(ArgClass) {
        const FormatArg* arg = take(FormatArg::Kind::Integer);
        return arg ? std::optional(arg->integer) : std::nullopt;
    }
    std::optional<double> real(ArgClass) {
        const FormatArg* arg = take(FormatArg::Kind::Real);
        return arg ? std::optional(arg->real) : std::nullopt;
    }
    std::optional<TextArg<char>> narrowText() {
        const FormatArg* arg = take(FormatArg::Kind::NarrowText);
        return arg ? std::optional(TextArg<char>{arg->narrow.data, arg->narrow.size})
                   : std::nullopt;
    }
    std::optional<TextArg<char16_t>> wideText() {
        const FormatArg* arg = take(FormatArg::Kind::WideText);
        return arg ? std::optional(TextArg<char16_t>{arg->wide.data, arg->wide.size})
                   : std::nullopt;
    }
    // %p accepts a pointer or the address of a text given as a pointer.
    std::optional<const void*> pointer() {
        if (next_ == args_.size()) {
            return std::nullopt;
        }
        const FormatArg& arg = args_[next_++];
        switch (arg.kind) {
            case FormatArg::Kind::Pointer:
                return arg.pointer;
            case FormatArg::Kind::NarrowText:
                return arg.narrow.data;
            case FormatArg::Kind::WideText:
                return arg.wide.data;
            default:
                return std::nullopt;
        }
    }

  private:
    // The next argument if it is of `kind`; it is consumed either way.
    const FormatArg* take(FormatArg::Kind kind) {
        if (next_ == args_.size()) {
            return nullptr;
        }
        const FormatArg& arg = args_[next_++];
        return arg.kind == kind ? &arg : nullptr;
    }

    std::span<const FormatArg> args_;
    size_t next_ = 0;
};

// ---- Output -----------------------------------------------------------------

template <class Out>
void appendAscii(Out& out, const char* text, size_t size) {
    if constexpr (std::is_same_v<Out, std::string>) {
        out.append(text, size);
    } else {
        // Widened on the stack and appended a chunk at a time: a resize would
        // first fill the room it adds, then be written over.
        typename Out::value_type wide[64];
        while (size > 0) {
            const size_t chunk = std::min(size, std::size(wide));
            std::copy(text, text + chunk, wide);
            out.append(wide, chunk);
            text += chunk;
            size -= chunk;
        }
    }
}

template <class Out>
void appendFill(Out& out, size_t count, char fill) {
    if (count != 0) {
        out.append(count, static_cast<typename Out::value_type>(fill));
    }
}

void appendText(std::string& out, std::string_view text) {
    out.append(text);
}
void appendText(std::u16string& out, std::u16string_view text) {
    out.append(text);
}
void appendText(std::u16string& out, std::string_view text) {
    appendUtf8ToUtf16(out, text);
}
void appendText(std::string& out, std::u16string_view text) {
    appendUtf16ToUtf8(out, text);
}

// ---- Conversions ------------------------------------------------------------

// Pads [begin, end) with blanks to the width of the conversion.
template <class Out>
void appendField(Out& out, const Conversion& conv, const char* begin, const char* end) {
    const auto length = static_cast<size_t>(end - begin);
    const auto width = static_cast<size_t>(conv.width);
    const size_t pad = width > length ? width - length : 0;
    if (!conv.left) {
        appendFill(out, pad, ' ');
    }
    appendAscii(out, begin, length);
    if (conv.left) {
        appendFill(out, pad, ' ');
    }
}

// The digits of `value` in `base`, written backwards ending at `end`.
template <class Unit>
Unit* writeDigits(uint64_t value, unsigned base, bool upper, Unit* end) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    const char* symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    Unit* p = end;
    if (base == 10) {
        while (value >= 100) {
            const auto pair = static_cast<size_t>(value % 100) * 2;
            value /= 100;
            *--p = kPairs[pair + 1];
            *--p = kPairs[pair];
        }
        if (value >= 10) {
            *--p = kPairs[value * 2 + 1];
            *--p = kPairs[value * 2];
        } else {
            *--p = static_cast<Unit>('0' + value);
        }
    } else {
        const unsigned shift = base == 16 ? 4 : 3;
        do {
            *--p = symbols[value & (base - 1)];
            value >>= shift;
        } while (value != 0);
    }
    return p;
}

unsigned displayBits(SizeModifier size, ArgClass argClass) {
    switch (size) {
        case SizeModifier::Char:
            return 8;
        case SizeModifier::Short:
            return 16;
        default:
            return argClass == ArgClass::Int64 ? 64 : 32;
    }
}

// The field is composed backwards in one buffer: digits, precision zeros,
// zero padding, then the "0x" prefix and the sign. Clamped widths and
// precisions bound its size.
template <class Out>
void formatInteger(Out& out, const Conversion& conv, ArgClass argClass, uint64_t raw) {
    const char conversion = conv.type;
    const unsigned bits = displayBits(conv.size, argClass);
    const uint64_t mask = bits == 64 ? ~0ull : (1ull << bits) - 1;
    uint64_t value = raw & mask;
    char sign = 0;
    if (conversion == 'd' || conversion == 'i') {
        if ((value >> (bits - 1)) & 1) {
            value = (~value + 1) & mask;
            sign = '-';
        } else if (conv.plus) {
            sign = '+';
        } else if (conv.space) {
            sign = ' ';
        }
    }
    const unsigned base = conversion == 'o'                          ? 8
                          : (conversion == 'x' || conversion == 'X') ? 16
                                                                     : 10;
    const bool hexPrefix = conv.alternate && base == 16 && value != 0;
    const size_t prefixSize = (sign != 0 ? 1 : 0) + (hexPrefix ? 2 : 0);

    char buffer[detail::kMaxFieldWidth + 32];
    char* const end = buffer + sizeof buffer;
    char* p = end;
    if (value != 0 || conv.precision != 0) {
        p = writeDigits(value, base, conversion == 'X', end);
    }
    const auto precision = static_cast<size_t>(std::max(conv.precision, 0));
    while (static_cast<size_t>(end - p) < precision) {
        *--p = '0';
    }
    if (conv.alternate && base == 8 && (p == end || *p != '0')) {
        *--p = '0';
    }
    const auto width = static_cast<size_t>(conv.width);
    if (conv.zero && !conv.left && conv.precision < 0 && width > prefixSize) {
        while (static_cast<size_t>(end - p) < width - prefixSize) {
            *--p = '0';
        }
    }
    if (hexPrefix) {
        *--p = conversion;
        *--p = '0';
    }
    if (sign != 0) {
        *--p = sign;
    }
    appendField(out, conv, p, end);
}

// 16 upper-case hex digits, no prefix; only the width and '-' apply.
template <class Out>
void formatPointer(Out& out, const Conversion& conv, const void* pointer) {
    Conversion hex;
    hex.left = conv.left;
    hex.width = conv.width;
    hex.precision = 16;
    hex.type = 'X';
    formatInteger(out, hex, ArgClass::Int64, reinterpret_cast<uintptr_t>(pointer));
}

// Floating point digits come from the C library; only width, precision,
// flags and the conversion character are passed on.
template <class Out>
void formatReal(Out& out, const Conversion& conv, double value) {
    char format[16];
    char* f = format;
    *f++ = '%';
    for (auto [on, flag] : {std::pair{conv.left, '-'},
                            {conv.plus, '+'},
                            {conv.space, ' '},
                            {conv.zero, '0'},
                            {conv.alternate, '#'}}) {
        if (on) {
            *f++ = flag;
        }
    }
    *f++ = '*';
    *f++ = '.';
    *f++ = '*';
    *f++ = conv.type;
    *f = '\0';
    char buffer[512];
    const int size =
        std::snprintf(buffer, sizeof buffer, format, conv.width, conv.precision, value);
    if (size < 0) {
        return;
    }
    if (static_cast<size_t>(size) < sizeof buffer) {
        appendAscii(out, buffer, static_cast<size_t>(size));
        return;
    }
    std::string large(static_cast<size_t>(size) + 1, '\0');
    std::snprintf(large.data(), large.size(), format, conv.width, conv.precision, value);
    appendAscii(out, large.data(), static_cast<size_t>(size));
}

// Length of a text of at most `limit` units, reading no further.
template <class Char>
size_t boundedLength(const Char* text, size_t limit) {
    if constexpr (std::is_same_v<Char, char>) {
        if (limit > static_cast<size_t>(PTRDIFF_MAX)) {
            return std::strlen(text);  // no bound: no object is that large
        }
        const void* nul = std::memchr(text, 0, limit);
        return nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : limit;
    } else {
        size_t length = 0;
        while (length < limit && text[length] != 0) {
            ++length;
        }
        return length;
    }
}

// Shortens a text cut after `size` units so that it does not end inside a
// character (a UTF-8 sequence or a surrogate pair), looking only at [0, size).
size_t cutAtCharacter(const char* text, size_t size) {
    for (size_t back = 1; back <= std::min<size_t>(size, 4); ++back) {
        const auto byte = static_cast<uint8_t>(text[size - back]);
        if ((byte & 0xC0) == 0x80) {
            continue;  // continuation byte: look further back for the lead
        }
        const size_t needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return needed > back ? size - back : size;
    }
    return size;
}
size_t cutAtCharacter(const char16_t* text, size_t size) {
    return size > 0 && text[size - 1] >= 0xD800 && text[size - 1] <= 0xDBFF ? size - 1 : size;
}

template <class Out, class Char>
void formatText(Out& out, const Conversion& conv, TextArg<Char> arg) {
    static constexpr Char kNull[] = {'(', 'n', 'u', 'l', 'l', ')'};
    if (arg.data == nullptr) {
        arg = {kNull, std::size(kNull)};
    }
    const size_t limit = conv.precision >= 0 ? static_cast<size_t>(conv.precision) : SIZE_MAX;
    size_t size = arg.size == FormatArg::kTerminated ? boundedLength(arg.data, limit)
                                                     : std::min(arg.size, limit);
    if (size == limit) {
        size = cutAtCharacter(arg.data, size);
    }
    const std::basic_string_view<Char> text(arg.data, size);
    const size_t start = out.size();
    appendText(out, text);
    const size_t written = out.size() - start;
    const auto width = static_cast<size_t>(conv.width);
    if (width <= written) {
        return;
    }
    if (conv.left) {
        appendFill(out, width - written, ' ');
    } else {
        out.insert(start, width - written, ' ');
    }
}

template <class Out, class Char>
void formatCharacter(Out& out, const Conversion& conv, uint64_t value) {
    const auto character = static_cast<Char>(value);
    Conversion plain = conv;
    plain.precision = -1;
    formatText(out, plain, TextArg<Char>{&character, 1});
}

// %q and %Q: the text with every single quote doubled; %Q also encloses it
// in single quotes and prints a null pointer as NULL. The precision cuts the
// argument, the width pads the quoted result.
template <class Out, class Char>
void formatQuoted(Out& out, const Conversion& conv, TextArg<Char> arg) {
    using OutChar = typename Out::value_type;
    Out quoted;
    if (arg.data == nullptr && conv.type == 'Q') {
        appendAscii(quoted, "NULL", 4);
    } else {
        Conversion plain = conv;
        plain.width = 0;
        Out text;
        formatText(text, plain, arg);
        const bool enclose = conv.type == 'Q';
        quoted.reserve(text.size() + 2);
        if (enclose) {
            quoted.push_back(OutChar('\''));
        }
        for (const OutChar unit : text) {
            quoted.push_back(unit);
            if (unit == OutChar('\'')) {
                quoted.push_back(unit);
            }
        }
        if (enclose) {
            quoted.push_back(OutChar('\''));
        }
    }
    Conversion padding = conv;
    padding.precision = -1;
    formatText(out, padding, TextArg<OutChar>{quoted.data(), quoted.size()});
}

template <class Out, class Char>
void formatTextOrQuoted(Out& out, const Conversion& conv, TextArg<Char> arg) {
    // classify gives q and Q a text class only when SQL quoting is on.
    if (conv.type == 'q' || conv.type == 'Q') {
        formatQuoted(out, conv, arg);
    } else {
        formatText(out, conv, arg);
    }
}

// Formats one printf conversion. Returns false when it has no argument of a
// fitting kind or is not a conversion; the caller then copies it as it stands.
template <class Out, class Source>
bool formatConversion(Out& out, Conversion conv, bool wideFormat, Source& source,
                      bool sqlQuoting = false) {
    if (conv.widthFromArg) {
        const auto width = source.integer(ArgClass::Int32);
        if (!width) {
            return false;
        }
        const auto value = static_cast<int32_t>(*width);
        conv.left = conv.left || value < 0;
        conv.width = static_cast<int>(std::min<int64_t>(
            value < 0 ? -static_cast<int64_t>(value) : value, detail::kMaxFieldWidth));
    }
    if (conv.precisionFromArg) {
        const auto precision = source.integer(ArgClass::Int32);
        if (!precision) {
            return false;
        }
        const auto value = static_cast<int32_t>(*precision);
        conv.precision = value < 0 ? -1 : std::min(value, detail::kMaxFieldWidth);
    }
    const ArgClass argClass = detail::classify(conv, wideFormat, sqlQuoting);
    switch (argClass) {
        case ArgClass::None:
            out.push_back('%');
            return true;
        case ArgClass::Int32:
        case ArgClass::Int64: {
            const auto value = source.integer(argClass);
            if (value) {
                formatInteger(out, conv, argClass, *value);
            }
            return value.has_value();
        }
        case ArgClass::Double:
        case ArgClass::LongDouble: {
            const auto value = source.real(argClass);
            if (value) {
                formatReal(out, conv, *value);
            }
            return value.has_value();
        }
        case ArgClass::NarrowChar:
        case ArgClass::WideChar: {
            const auto value = source.integer(ArgClass::Int32);
            if (value && argClass == ArgClass::NarrowChar) {
                formatCharacter<Out, char>(out, conv, *value);
            } else if (value) {
                formatCharacter<Out, char16_t>(out, conv, *value);
            }
            return value.has_value();
        }
        case ArgClass::NarrowText: {
            const auto text = source.narrowText();
            if (text) {
                formatTextOrQuoted(out, conv, *text);
            }
            return text.has_value();
        }
        case ArgClass::WideText: {
            const auto text = source.wideText();
            if (text) {
                formatTextOrQuoted(out, conv, *text);
            }
            return text.has_value();
        }
        case ArgClass::Pointer: {
            const auto pointer = source.pointer();
            if (pointer) {
                formatPointer(out, conv, *pointer);
            }
            return pointer.has_value();
        }
        case ArgClass::Count:
            source.pointer();  // skipped, never written
            return false;
        case ArgClass::Unknown:
            return false;
    }
    return false;
}

template <class Out, class Char>
void appendLiteral(Out& out, const Char* begin, const Char* end) {
    appendText(out, std::basic_string_view<Char>(begin, static_cast<size_t>(end - begin)));
}

template <class Char>
const Char* findPercent(const Char* p, const Char* end) {
    if constexpr (std::is_same_v<Char, char>) {
        const void* found = std::memchr(p, '%', static_cast<size_t>(end - p));
        return found ? static_cast<const Char*>(found) : end;
    } else {
        return std::find(p, end, u'%');
    }
}

template <class Out, class Char, class Source>
void printfTo(Out& out, std::basic_string_view<Char> fmt, bool wideFormat, Source& source,
              bool sqlQuoting = false) {
    const Char* p = fmt.data();
    const Char* end = p + fmt.size();
    while (p != end) {
        const Char* percent = findPercent(p, end);
        appendLiteral(out, p, percent);
        if (percent == end) {
            return;
        }
        Conversion conv;
        const size_t used = detail::parseConversion(percent + 1, end, conv);
        if (used == 0) {
            appendLiteral(out, percent, end);
            return;
        }
        p = percent + 1 + used;
        if (!formatConversion(out, conv, wideFormat, source, sqlQuoting)) {
            appendLiteral(out, percent, p);
        }
    }
}

// The first '%' or terminator from `p` on. Most units are above '%' and take
// one comparison; no unit past the terminator is read.
const char16_t* findPercentOrTerminator(const char16_t* p) {
    const auto stops = [](char16_t unit) { return unit <= u'%' && (unit == u'%' || unit == 0); };
    for (;; p += 4) {
        if (stops(p[0])) {
            return p;
        }
        if (stops(p[1])) {
            return p + 1;
        }
        if (stops(p[2])) {
            return p + 2;
        }
        if (stops(p[3])) {
            return p + 3;
        }
    }
}

// %s, %d, %i, %u and %% with no flag, width, precision or size modifier, the
// conversions of most log lines, formatted without the general path's parse
// and field layout (which give the same text for them). False for any other
// conversion character.
bool formatPlain(std::u16string& out, char16_t type, VaListSource& source) {
    switch (type) {
        case u's': {
            const char16_t* text = source.wideText()->data;
            out.append(text != nullptr ? text : u"(null)");
            return true;
        }
        case u'd':
        case u'i':
        case u'u': {
            const auto value = static_cast<uint32_t>(*source.integer(ArgClass::Int32));
            const bool negative = type != u'u' && (value >> 31) != 0;
            char16_t field[11];
            char16_t* const end = std::end(field);
            char16_t* p = writeDigits(negative ? 0u - value : value, 10, false, end);
            if (negative) {
                *--p = u'-';
            }
            out.append(p, static_cast<size_t>(end - p));
            return true;
        }
        case u'%':
            out.push_back(u'%');
            return true;
        default:
            return false;
    }
}

// A wide format read once up to its terminator: each literal run is appended
// as it is found and plain conversions are formatted on the spot; the first
// other conversion hands the rest of the format to the general path.
void printfTerminated(std::u16string& out, const char16_t* fmt, VaListSource& source) {
    const char16_t* p = fmt;
    for (;;) {
        const char16_t* stop = findPercentOrTerminator(p);
        out.append(p, static_cast<size_t>(stop - p));
        if (*stop == 0) {
            return;
        }
        // stop[1] is the terminator at the latest: a '%' that ends the
        // format is not plain and goes to the general path.
        if (!formatPlain(out, stop[1], source)) {
            printfTo(out, std::u16string_view(stop), true, source);
            return;
        }
        p = stop + 2;
    }
}

// ---- Message style ----------------------------------------------------------

void messageTo(std::u16string& out, std::u16string_view fmt, std::span<const FormatArg> args,
               bool sqlQuoting = false) {
    const char16_t* p = fmt.data();
    const char16_t* end = p + fmt.size();
    while (p != end) {
        const MessageToken token = detail::nextMessageToken(p, end, sqlQuoting);
        switch (token.kind) {
            case MessageToken::Kind::End:
                return;
            case MessageToken::Kind::Escape:
                out.push_back(token.character);
                break;
            case MessageToken::Kind::Insert: {
                const auto index = static_cast<size_t>(token.index);
                ArraySource source(index <= args.size() ? args.subspan(index - 1, 1)
                                                        : std::span<const FormatArg>());
                if (!formatConversion(out, token.conv, true, source, sqlQuoting)) {
                    out.append(p, token.length);
                }
                break;
            }
            case MessageToken::Kind::Text:
            case MessageToken::Kind::BadInsert:
                out.append(p, token.length);
                break;
        }
        p += token.length;
    }
}

// Reads one argument of a va_list as the kind its insert needs.
FormatArg readArgument(VaListSource& source, ArgClass argClass) {
    FormatArg arg;
    switch (argClass) {
        case ArgClass::Int32:
        case ArgClass::NarrowChar:
        case ArgClass::WideChar:
            arg.integer = *source.integer(ArgClass::Int32);
            break;
        case ArgClass::Double:
        case ArgClass::LongDouble:
            arg.kind = FormatArg::Kind::Real;
            arg.real = *source.real(argClass);
            break;
        case ArgClass::NarrowText: {
            const auto text = *source.narrowText();
            arg.kind = FormatArg::Kind::NarrowText;
            arg.narrow = {text.data, text.size};
            break;
        }
        case ArgClass::WideText: {
            const auto text = *source.wideText();
            arg.kind = FormatArg::Kind::WideText;
            arg.wide = {text.data, text.size};
            break;
        }
        case ArgClass::Pointer:
            arg.kind = FormatArg::Kind::Pointer;
            arg.pointer = *source.pointer();
            break;
        default:
            arg.integer = *source.integer(ArgClass::Int64);
            break;
    }
    return arg;
}

// A va_list is read in order, so the type of every argument up to the last
// inserted one must be known first: the first insert of each index decides.
void vmessageTo(std::u16string& out, std::u16string_view fmt, va_list args,
                bool sqlQuoting = false) {
    std::array<ArgClass, 100> classes;
    classes.fill(ArgClass::Unknown);
    size_t count = 0;
    const char16_t* p = fmt.data();
    const char16_t* end = p + fmt.size();
    while (p != end) {
        const MessageToken token = detail::nextMessageToken(p, end, sqlQuoting);
        if (token.kind == MessageToken::Kind::End) {
            break;
        }
        if (token.kind == MessageToken::Kind::Insert) {
            const auto index = static_cast<size_t>(token.index);
            if (classes[index] == ArgClass::Unknown) {
                classes[index] = token.argClass;
            }
            count = std::max(count, index);
        }
        p += token.length;
    }
    std::array<FormatArg, 99> values;
    VaListSource source(args);
    for (size_t index = 1; index <= count; ++index) {
        values[index - 1] = readArgument(source, classes[index]);
    }
    messageTo(out, fmt, std::span<const FormatArg>(values.data(), count), sqlQuoting);
}

template <class Char>
std::basic_string_view<Char> viewOf(const Char* fmt) {
    return fmt ? std::basic_string_view<Char>(fmt) : std::basic_string_view<Char>();
}

}  // namespace

void vappendPrintf(std::u16string& out, const char16_t* fmt, va_list args) {
    if (fmt != nullptr) {
        VaListSource source(args);
        printfTerminated(out, fmt, source);
    }
}

void vappendPrintf(std::string& out, const char* fmt, va_list args) {
    VaListSource source(args);
    printfTo(out, viewOf(fmt), false, source);
}

// The format is taken as UTF-16 text, so its arguments follow the UTF-16
// rules: %s reads a UTF-16 text and %S a narrow one.
void vappendPrintfNarrowToWide(std::u16string& out, const char* fmt, va_list args) {
    VaListSource source(args);
    printfTo(out, viewOf(fmt), true, source);
}

void vappendMessage(std::u16string& out, const char16_t* fmt, va_list args) {
    vmessageTo(out, viewOf(fmt), args);
}

void vappend(std::u16string& out, const char16_t* fmt, va_list args) {
    if (isMessageFormat(viewOf(fmt))) {
        vappendMessage(out, fmt, args);
    } else {
        vappendPrintf(out, fmt, args);
    }
}

std::u16string vformatPrintf(const char16_t* fmt, va_list args) {
    std::u16string out;
    vappendPrintf(out, fmt, args);
    return out;
}

std::string vformatPrintf(const char* fmt, va_list args) {
    std::string out;
    vappendPrintf(out, fmt, args);
    return out;
}

std::u16string vformatPrintfNarrowToWide(const char* fmt, va_list args) {
    std::u16string out;
    vappendPrintfNarrowToWide(out, fmt, args);
    return out;
}

std::u16string vformatMessage(const char16_t* fmt, va_list args) {
    std::u16string out;
    vappendMessage(out, fmt, args);
    return out;
}

std::u16string vformat(const char16_t* fmt, va_list args) {
    std::u16string out;
    vappend(out, fmt, args);
    return out;
}

std::u16string vformatPrintfOrEmpty(const std::u16string& fmt, va_list args) noexcept {
    try {
        return fmt.empty() ? std::u16string() : vformatPrintf(fmt.c_str(), args);
    } catch (const std::exception&) {
        return {};
    }
}

std::u16string vformatOrEmpty(const std::u16string& fmt, va_list args) noexcept {
    try {
        return fmt.empty() ? std::u16string() : vformat(fmt.c_str(), args);
    } catch (const std::exception&) {
        return {};
    }
}

void appendPrintf(std::u16string& out, std::u16string_view fmt, std::span<const FormatArg> args) {
    ArraySource source(args);
    printfTo(out, fmt, true, source);
}

void appendPrintf(std::string& out, std::string_view fmt, std::span<const FormatArg> args) {
    ArraySource source(args);
    printfTo(out, fmt, false, source);
}

void appendMessage(std::u16string& out, std::u16string_view fmt, std::span<const FormatArg> args) {
    messageTo(out, fmt, args);
}

void appendFormat(std::u16string& out, std::u16string_view fmt, std::span<const FormatArg> args) {
    if (isMessageFormat(fmt)) {
        messageTo(out, fmt, args);
    } else {
        appendPrintf(out, fmt, args);
    }
}

void vappendSql(std::u16string& out, const char16_t* fmt, va_list args) {
    const std::u16string_view format = viewOf(fmt);
    if (isMessageFormat(format)) {
        vmessageTo(out, format, args, true);
    } else {
        VaListSource source(args);
        printfTo(out, format, true, source, true);
    }
}

std::u16string vformatSql(const char16_t* fmt, va_list args) {
    std::u16string out;
    vappendSql(out, fmt, args);
    return out;
}

void appendSql(std::u16string& out, std::u16string_view fmt, std::span<const FormatArg> args) {
    if (isMessageFormat(fmt)) {
        messageTo(out, fmt, args, true);
    } else {
        ArraySource source(args);
        printfTo(out, fmt, true, source, true);
    }
}

}  // namespace holm::common

// The parser of printf conversions and message-style inserts, shared by the
// formatting engine at run time and by the compile-time format checker, so
// that both read a format the same way. Internal to common/format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace holm::common::detail {

// Widths and precisions above this are taken as this: a format can never make
// the engine allocate more than a few kilobytes per conversion.
inline constexpr int kMaxFieldWidth = 4096;

enum class SizeModifier : uint8_t {
    None,
    Char,          // hh
    Short,         // h (also: narrow text for s/c)
    Long,          // l (32 bits; wide text for s/c)
    LongLong,      // ll
    Int32,         // I32
    Int64,         // I64, j
    PointerSized,  // I, z, t
    LongDouble,    // L
    Wide,          // w (wide text)
};

// What a conversion takes from the argument list.
enum class ArgClass : uint8_t {
    None,        // %%: nothing
    Int32,       // one 8-byte slot read as 32 bits
    Int64,       // one 8-byte slot read as 64 bits (also pointer-sized)
    Double,      // double
    LongDouble,  // long double (the platform's, as the caller's compiler passes it)
    NarrowChar,  // a char, passed as int
    WideChar,    // a char16_t, passed as int
    NarrowText,  // const char* (UTF-8)
    WideText,    // const char16_t*
    Pointer,     // %p
    Count,       // %n: the pointer is skipped and never written
    Unknown,     // not a conversion this engine knows: copied as it stands
};

struct Conversion {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool zero = false;
    bool alternate = false;
    bool widthFromArg = false;      // '*'
    bool precisionFromArg = false;  // '.*'
    int width = 0;
    int precision = -1;  // -1: none
    SizeModifier size = SizeModifier::None;
    char type = 0;  // the conversion character; 0x7F for a non-ASCII one
};

template <class Char>
constexpr unsigned unitValue(Char c) {
    return static_cast<std::make_unsigned_t<Char>>(c);
}

template <class Char>
constexpr bool isDigit(Char c) {
    return c >= '0' && c <= '9';
}

// Reads decimal digits, saturating at kMaxFieldWidth.
template <class Char>
constexpr const Char* parseNumber(const Char* p, const Char* end, int& value) {
    for (; p != end && isDigit(*p); ++p) {
        value = value * 10 + static_cast<int>(*p - '0');
        if (value > kMaxFieldWidth) {
            value = kMaxFieldWidth;
        }
    }
    return p;
}

template <class Char>
constexpr bool startsWith(const Char* p, const Char* end, char a, char b) {
    return end - p >= 2 && p[0] == a && p[1] == b;
}

template <class Char>
constexpr const Char* parseSizeModifier(const Char* p, const Char* end, SizeModifier& size) {
    if (p == end) {
        return p;
    }
    switch (unitValue(*p)) {
        case 'h':
            size = startsWith(p, end, 'h', 'h') ? SizeModifier::Char : SizeModifier::Short;
            return p + (size == SizeModifier::Char ? 2 : 1);
        case 'l':
            size = startsWith(p, end, 'l', 'l') ? SizeModifier::LongLong : SizeModifier::Long;
            return p + (size == SizeModifier::LongLong ? 2 : 1);
        case 'L':
            size = SizeModifier::LongDouble;
            return p + 1;
        case 'j':
            size = SizeModifier::Int64;
            return p + 1;
        case 'z':
        case 't':
            size = SizeModifier::PointerSized;
            return p + 1;
        case 'w':
            size = SizeModifier::Wide;
            return p + 1;
        case 'I':
            if (startsWith(p + 1, end, '6', '4')) {
                size = SizeModifier::Int64;
                return p + 3;
            }
            if (startsWith(p + 1, end, '3', '2')) {
                size = SizeModifier::Int32;
                return p + 3;
            }
            size = SizeModifier::PointerSized;
            return p + 1;
        default:
            return p;
    }
}

// Parses the conversion that follows a '%' in [begin, end): flags, width,
// precision, size and conversion character. Returns the number of units it
// spans, or 0 when the text ends before the conversion character.
template <class Char>
constexpr size_t parseConversion(const Char* begin, const Char* end, Conversion& conv) {
    const Char* p = begin;
    for (bool flag = true; flag && p != end;) {
        switch (unitValue(*p)) {
            case '-':
                conv.left = true;
                break;
            case '+':
                conv.plus = true;
                break;
            case ' ':
                conv.space = true;
                break;
            case '0':
                conv.zero = true;
                break;
            case '#':
                conv.alternate = true;
                break;
            default:
                flag = false;
                continue;
        }
        ++p;
    }
    if (p != end && *p == '*') {
        conv.widthFromArg = true;
        ++p;
    } else {
        p = parseNumber(p, end, conv.width);
    }
    if (p != end && *p == '.') {
        ++p;
        if (p != end && *p == '*') {
            conv.precisionFromArg = true;
            ++p;
        } else {
            conv.precision = 0;
            p = parseNumber(p, end, conv.precision);
        }
    }
    p = parseSizeModifier(p, end, conv.size);
    if (p == end) {
        return 0;
    }
    conv.type = unitValue(*p) < 0x80 ? static_cast<char>(*p) : '\x7F';
    return static_cast<size_t>(p + 1 - begin);
}

constexpr ArgClass integerClass(SizeModifier size) {
    switch (size) {
        case SizeModifier::None:
        case SizeModifier::Char:
        case SizeModifier::Short:
        case SizeModifier::Long:
        case SizeModifier::Int32:
            return ArgClass::Int32;
        case SizeModifier::LongLong:
        case SizeModifier::Int64:
        case SizeModifier::PointerSized:
            return ArgClass::Int64;
        default:
            return ArgClass::Unknown;
    }
}

// Windows rules: in a wide format s/c are wide and S/C narrow, in a narrow
// format the reverse; h makes them narrow and l/w wide in either.
constexpr ArgClass textClass(const Conversion& conv, bool wideFormat, ArgClass narrow,
                             ArgClass wide) {
    switch (conv.size) {
        case SizeModifier::None: {
            const bool lower = conv.type == 's' || conv.type == 'c';
            return lower == wideFormat ? wide : narrow;
        }
        case SizeModifier::Short:
            return narrow;
        case SizeModifier::Long:
        case SizeModifier::Wide:
            return wide;
        default:
            return ArgClass::Unknown;
    }
}

// `sqlQuoting` makes q and Q text conversions (quoted for SQL by the engine);
// elsewhere they are unknown and copied as they stand.
constexpr ArgClass classify(const Conversion& conv, bool wideFormat, bool sqlQuoting = false) {
    switch (conv.type) {
        case 'q':
        case 'Q':
            if (!sqlQuoting) {
                return ArgClass::Unknown;
            }
            // Like %s: wide in a wide format, narrow in a narrow one.
            return conv.size == SizeModifier::None
                       ? (wideFormat ? ArgClass::WideText : ArgClass::NarrowText)
                       : textClass(conv, wideFormat, ArgClass::NarrowText, ArgClass::WideText);
        case '%':
            return ArgClass::None;
        case 'd':
        case 'i':
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            return integerClass(conv.size);
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            return conv.size == SizeModifier::LongDouble ? ArgClass::LongDouble : ArgClass::Double;
        case 'c':
        case 'C':
            return textClass(conv, wideFormat, ArgClass::NarrowChar, ArgClass::WideChar);
        case 's':
        case 'S':
            return textClass(conv, wideFormat, ArgClass::NarrowText, ArgClass::WideText);
        case 'p':
            return ArgClass::Pointer;
        case 'n':
            return ArgClass::Count;
        default:
            return ArgClass::Unknown;
    }
}

// One piece of a message-style format.
struct MessageToken {
    enum class Kind : uint8_t {
        Text,       // copied as it stands
        Escape,     // %n %t %r %% %. %! %space: one character
        End,        // %0: the output ends here
        Insert,     // %1..%99 with an optional !fmt!
        BadInsert,  // an insert whose !fmt! is refused: copied as it stands
    };
    Kind kind = Kind::Text;
    size_t length = 0;  // units of the format this token spans
    char16_t character = 0;
    int index = 0;  // 1..99
    Conversion conv;
    ArgClass argClass = ArgClass::WideText;
};

constexpr char16_t messageEscape(unsigned c) {
    switch (c) {
        case 'n':
            return u'\n';
        case 't':
            return u'\t';
        case 'r':
            return u'\r';
        case '%':
        case '.':
        case '!':
        case ' ':
            return static_cast<char16_t>(c);
        default:
            return 0;
    }
}

// Reads the `!fmt!` of an insert starting at `p` (just after the digits).
// Without a closing '!' the insert has no format and the '!' stays text.
template <class Char>
constexpr void parseInsertFormat(const Char* p, const Char* end, MessageToken& token,
                                 bool sqlQuoting) {
    if (p == end || *p != '!') {
        return;
    }
    const Char* close = p + 1;
    while (close != end && *close != '!') {
        ++close;
    }
    if (close == end) {
        return;
    }
    token.length += static_cast<size_t>(close + 1 - p);
    Conversion conv;
    const size_t used = parseConversion(p + 1, close, conv);
    const ArgClass argClass = classify(conv, true, sqlQuoting);
    // '*' would take further arguments and %% / %n none: both are refused.
    if (used != static_cast<size_t>(close - (p + 1)) || used == 0 || conv.widthFromArg ||
        conv.precisionFromArg || argClass == ArgClass::None || argClass == ArgClass::Count ||
        argClass == ArgClass::Unknown) {
        token.kind = MessageToken::Kind::BadInsert;
        return;
    }
    token.conv = conv;
    token.argClass = argClass;
}

// The token of a message-style format that starts at `p` (p != end).
// `sqlQuoting` admits the inserts !q! and !Q!.
template <class Char>
constexpr MessageToken nextMessageToken(const Char* p, const Char* end, bool sqlQuoting = false) {
    MessageToken token;
    if (*p != '%') {
        const Char* q = p;
        while (q != end && *q != '%') {
            ++q;
        }
        token.length = static_cast<size_t>(q - p);
        return token;
    }
    if (end - p < 2) {
        token.length = 1;
        return token;
    }
    const unsigned next = unitValue(p[1]);
    token.length = 2;
    if (next == '0') {
        token.kind = MessageToken::Kind::End;
    } else if (next >= '1' && next <= '9') {
        token.kind = MessageToken::Kind::Insert;
        token.index = static_cast<int>(next - '0');
        token.conv.type = 's';
        if (end - p > 2 && isDigit(p[2])) {
            token.index = token.index * 10 + static_cast<int>(p[2] - '0');
            token.length = 3;
        }
        parseInsertFormat(p + token.length, end, token, sqlQuoting);
    } else if (char16_t escape = messageEscape(next); escape != 0) {
        token.kind = MessageToken::Kind::Escape;
        token.character = escape;
    }
    return token;
}

}  // namespace holm::common::detail

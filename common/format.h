// The formatting engine: every format string of the project goes through it.
//
// Printf style, with the Windows rules:
// - In a UTF-16 format `%s`/`%c` take UTF-16 (`const char16_t*`, `char16_t`)
//   and `%S`/`%C` narrow UTF-8 (`const char*`, `char`); in a narrow format the
//   reverse. `%hs`/`%hc` are always narrow, `%ls`/`%lc`/`%ws`/`%wc` always wide.
//   A narrow format converted to UTF-16 (vformatPrintfNarrowToWide) follows
//   the UTF-16 rules (`%s` UTF-16, `%S` narrow). Narrow text is converted to UTF-16 and back as
//   needed; invalid sequences become U+FFFD.
// - Integer sizes are LLP64: none, `hh`, `h`, `l` and `I32` read 32 bits (`hh`
//   and `h` then print the value cut to 8 and 16 bits, as C does); `ll`, `I64`
//   and `j` read 64 bits; `I`, `z` and `t` read a pointer-sized value.
// - Conversions d i u o x X c s p e E f F g G a A; flags - + space 0 #; width
//   and precision, each possibly `*` (a negative `*` width left-justifies, a
//   negative `*` precision counts as none). `%p` prints 16 upper-case hex
//   digits without "0x". `L` with a floating conversion reads the platform's
//   long double (printed with double precision).
// - `%n` never writes: it is copied as it stands, and its pointer argument is
//   skipped so the arguments after it stay in place. Unknown conversions and a
//   format that ends inside a conversion are copied as they stand. `%%` is `%`.
//   A null string pointer prints "(null)".
// - Widths and precisions above 4096 are taken as 4096. The precision of a
//   string counts units of the argument and never splits a character.
//   Widths of strings count units of the output.
//
// Message style (formats containing "%1"; see vformat and format):
// - `%1`..`%99` insert the arguments by position, each optionally followed by
//   `!fmt!`, a printf conversion without the '%' (default `!s!`, a UTF-16
//   string). An argument can be inserted several times and in any order.
//   `*` in `!fmt!` is refused (the insert is copied as it stands), as are
//   `!%!` and `!n!`.
// - `%n` is a newline, "\n" on this platform; `%t` a tab, `%r` a CR; `%%`,
//   `%.`, `%!` and `%space` the character; `%0` ends the output. Any other
//   `%x` is copied as it stands.
//
// Two kinds of entry points:
// - The v... functions over a va_list serve the plugin ABI. They trust the
//   caller: the arguments must match the format in number and type, as for
//   vsnprintf. In message style the arguments are read in order, each with the
//   type of its first insert; one never inserted is read as pointer-sized.
// - format() / formatTo() take typed arguments, checked against the format at
//   compile time. The append... functions over FormatArg arrays accept any
//   format: a missing argument or one of the wrong kind leaves its conversion
//   copied as it stands.
// Every function is reentrant: the engine keeps no state between calls.
#pragma once

#include <array>
#include <concepts>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/format_parser.h"

namespace holm::common {

// ---- va_list entry points (the ABI) ----------------------------------------

// Printf style, UTF-16 format and output. A null format gives an empty text.
std::u16string vformatPrintf(const char16_t* fmt, va_list args);
// Printf style with the narrow rules, UTF-8 format and output.
std::string vformatPrintf(const char* fmt, va_list args);
// A UTF-8 format converted to UTF-16 before use: the UTF-16 rules (%s takes
// UTF-16, %S narrow), UTF-16 output.
std::u16string vformatPrintfNarrowToWide(const char* fmt, va_list args);
// Message style, UTF-16 format and output.
std::u16string vformatMessage(const char16_t* fmt, va_list args);
// Message style when the format contains "%1", else printf style.
std::u16string vformat(const char16_t* fmt, va_list args);

// vformatPrintf and vformat for texts handed on across the plugin boundary:
// an empty format gives an empty text, and a failure (out of memory) gives an
// empty text instead of an exception.
std::u16string vformatPrintfOrEmpty(const std::u16string& fmt, va_list args) noexcept;
std::u16string vformatOrEmpty(const std::u16string& fmt, va_list args) noexcept;

// The same, appending to `out` (reuse one buffer to avoid allocations).
void vappendPrintf(std::u16string& out, const char16_t* fmt, va_list args);
void vappendPrintf(std::string& out, const char* fmt, va_list args);
void vappendPrintfNarrowToWide(std::u16string& out, const char* fmt, va_list args);
void vappendMessage(std::u16string& out, const char16_t* fmt, va_list args);
void vappend(std::u16string& out, const char16_t* fmt, va_list args);

// True when `fmt` is expanded in message style: it contains "%1".
constexpr bool isMessageFormat(std::u16string_view fmt) {
    return fmt.find(u"%1") != std::u16string_view::npos;
}

// ---- SQL text ----------------------------------------------------------------

// As vformat (message style when the format contains "%1", else printf
// style), and in addition the conversions %q and %Q (inserts !q! and !Q!)
// take a text argument as %s does and quote it for SQL: %q doubles every
// single quote, %Q also encloses the text in single quotes and prints a null
// pointer as NULL. Elsewhere %q and %Q are unknown conversions.
std::u16string vformatSql(const char16_t* fmt, va_list args);
void vappendSql(std::u16string& out, const char16_t* fmt, va_list args);

// ---- Typed arguments --------------------------------------------------------

// One argument of a typed argument array.
struct FormatArg {
    enum class Kind : uint8_t { Integer, Real, NarrowText, WideText, Pointer };
    // The length of a text given by a null-terminated pointer.
    static constexpr size_t kTerminated = static_cast<size_t>(-1);
    struct Narrow {
        const char* data;
        size_t size;  // or kTerminated
    };
    struct Wide {
        const char16_t* data;
        size_t size;  // or kTerminated
    };

    Kind kind = Kind::Integer;
    union {
        uint64_t integer = 0;  // signed values sign-extended
        double real;
        const void* pointer;
        Narrow narrow;
        Wide wide;
    };
};

// Printf style over an argument array, safe with any format.
void appendPrintf(std::u16string& out, std::u16string_view fmt, std::span<const FormatArg> args);
void appendPrintf(std::string& out, std::string_view fmt, std::span<const FormatArg> args);
// Message style over an argument array (%k takes args[k-1]), safe with any format.
void appendMessage(std::u16string& out, std::u16string_view fmt, std::span<const FormatArg> args);
// Message style when `fmt` contains "%1", else printf style.
void appendFormat(std::u16string& out, std::u16string_view fmt, std::span<const FormatArg> args);
// The same with the SQL quoting of vformatSql.
void appendSql(std::u16string& out, std::u16string_view fmt, std::span<const FormatArg> args);

namespace detail {

template <class T>
inline constexpr bool kAlwaysFalse = false;

template <class T>
constexpr bool isNarrowPointer = std::is_same_v<T, const char*> || std::is_same_v<T, char*>;
template <class T>
constexpr bool isWidePointer = std::is_same_v<T, const char16_t*> || std::is_same_v<T, char16_t*>;

// What the checker knows of an argument type.
struct ArgInfo {
    enum class Category : uint8_t { Integer, Real, NarrowText, WideText, Pointer, Other };
    Category category = Category::Other;
    uint8_t size = 0;      // of an integer
    bool pointer = false;  // a raw pointer (usable for %p)
};

template <class T>
constexpr ArgInfo argInfoOf() {
    using D = std::decay_t<T>;
    using Category = ArgInfo::Category;
    if constexpr (std::is_integral_v<D> || std::is_enum_v<D>) {
        return {Category::Integer, static_cast<uint8_t>(sizeof(D)), false};
    } else if constexpr (std::is_floating_point_v<D>) {
        return {Category::Real, 0, false};
    } else if constexpr (isNarrowPointer<D>) {
        return {Category::NarrowText, 0, true};
    } else if constexpr (isWidePointer<D>) {
        return {Category::WideText, 0, true};
    } else if constexpr (std::is_convertible_v<const D&, std::string_view>) {
        return {Category::NarrowText, 0, false};
    } else if constexpr (std::is_convertible_v<const D&, std::u16string_view>) {
        return {Category::WideText, 0, false};
    } else if constexpr (std::is_pointer_v<D> || std::is_null_pointer_v<D>) {
        return {Category::Pointer, 0, true};
    } else {
        return {};
    }
}

constexpr bool argumentFits(ArgClass argClass, ArgInfo info) {
    using Category = ArgInfo::Category;
    switch (argClass) {
        case ArgClass::Int32:
        case ArgClass::NarrowChar:
        case ArgClass::WideChar:
            return info.category == Category::Integer && info.size <= 4;
        case ArgClass::Int64:
            return info.category == Category::Integer;
        case ArgClass::Double:
        case ArgClass::LongDouble:
            return info.category == Category::Real;
        case ArgClass::NarrowText:
            return info.category == Category::NarrowText;
        case ArgClass::WideText:
            return info.category == Category::WideText;
        case ArgClass::Pointer:
            return info.pointer;
        default:
            return false;
    }
}

enum class FormatError : uint8_t {
    None,
    TooFewArguments,
    TooManyArguments,
    ArgumentTypeMismatch,
    UnknownConversion,
    PercentNWritesMemory,
    RefusedInsertFormat,
    InsertIndexBeyondArguments,
};

template <class Char>
constexpr FormatError checkPrintf(std::basic_string_view<Char> fmt, bool wideFormat,
                                  std::span<const ArgInfo> args) {
    const Char* p = fmt.data();
    const Char* end = p + fmt.size();
    size_t next = 0;
    auto take = [&](ArgClass argClass) {
        if (next == args.size()) {
            return FormatError::TooFewArguments;
        }
        return argumentFits(argClass, args[next++]) ? FormatError::None
                                                    : FormatError::ArgumentTypeMismatch;
    };
    while (p != end) {
        if (*p++ != '%') {
            continue;
        }
        Conversion conv;
        const size_t used = parseConversion(p, end, conv);
        if (used == 0) {
            return FormatError::UnknownConversion;
        }
        p += used;
        const ArgClass argClass = classify(conv, wideFormat);
        if (argClass == ArgClass::Unknown) {
            return FormatError::UnknownConversion;
        }
        if (argClass == ArgClass::Count) {
            return FormatError::PercentNWritesMemory;
        }
        for (bool star : {conv.widthFromArg, conv.precisionFromArg}) {
            if (star) {
                if (FormatError error = take(ArgClass::Int32); error != FormatError::None) {
                    return error;
                }
            }
        }
        if (argClass != ArgClass::None) {
            if (FormatError error = take(argClass); error != FormatError::None) {
                return error;
            }
        }
    }
    return next == args.size() ? FormatError::None : FormatError::TooManyArguments;
}

// Every argument must be inserted at least once and fit each of its inserts.
constexpr FormatError checkMessage(std::u16string_view fmt, std::span<const ArgInfo> args) {
    const char16_t* p = fmt.data();
    const char16_t* end = p + fmt.size();
    std::array<bool, 100> used{};
    while (p != end) {
        const MessageToken token = nextMessageToken(p, end);
        if (token.kind == MessageToken::Kind::End) {
            break;
        }
        p += token.length;
        if (token.kind == MessageToken::Kind::BadInsert) {
            return FormatError::RefusedInsertFormat;
        }
        if (token.kind != MessageToken::Kind::Insert) {
            continue;
        }
        const auto index = static_cast<size_t>(token.index);
        if (index > args.size()) {
            return FormatError::InsertIndexBeyondArguments;
        }
        if (!argumentFits(token.argClass, args[index - 1])) {
            return FormatError::ArgumentTypeMismatch;
        }
        used[index - 1] = true;
    }
    for (size_t i = 0; i < args.size(); ++i) {
        if (!used[i]) {
            return FormatError::TooManyArguments;
        }
    }
    return FormatError::None;
}

template <class Char, class... Args>
constexpr FormatError checkFormat(std::basic_string_view<Char> fmt) {
    const std::array<ArgInfo, sizeof...(Args)> args{argInfoOf<Args>()...};
    if constexpr (std::is_same_v<Char, char16_t>) {
        if (isMessageFormat(fmt)) {
            return checkMessage(fmt, args);
        }
    }
    return checkPrintf(fmt, std::is_same_v<Char, char16_t>, std::span<const ArgInfo>(args));
}

// Not constexpr: calling one of these during the compile-time check stops the
// compilation with its name in the message.
inline void formatError_tooFewArguments() {}
inline void formatError_tooManyArguments() {}
inline void formatError_argumentTypeMismatch() {}
inline void formatError_unknownConversion() {}
inline void formatError_percentNIsNotAllowed() {}
inline void formatError_starOrInvalidInsertFormat() {}
inline void formatError_insertIndexBeyondArguments() {}

constexpr void reportFormatError(FormatError error) {
    switch (error) {
        case FormatError::None:
            break;
        case FormatError::TooFewArguments:
            formatError_tooFewArguments();
            break;
        case FormatError::TooManyArguments:
            formatError_tooManyArguments();
            break;
        case FormatError::ArgumentTypeMismatch:
            formatError_argumentTypeMismatch();
            break;
        case FormatError::UnknownConversion:
            formatError_unknownConversion();
            break;
        case FormatError::PercentNWritesMemory:
            formatError_percentNIsNotAllowed();
            break;
        case FormatError::RefusedInsertFormat:
            formatError_starOrInvalidInsertFormat();
            break;
        case FormatError::InsertIndexBeyondArguments:
            formatError_insertIndexBeyondArguments();
            break;
    }
}

template <class T>
FormatArg makeFormatArg(const T& value) {
    using D = std::decay_t<T>;
    FormatArg arg;
    if constexpr (std::is_enum_v<D>) {
        return makeFormatArg(static_cast<std::underlying_type_t<D>>(value));
    } else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>) {
        arg.integer = static_cast<uint64_t>(static_cast<int64_t>(value));
    } else if constexpr (std::is_integral_v<D>) {
        arg.integer = static_cast<uint64_t>(value);
    } else if constexpr (std::is_floating_point_v<D>) {
        arg.kind = FormatArg::Kind::Real;
        arg.real = static_cast<double>(value);
    } else if constexpr (isNarrowPointer<D>) {
        arg.kind = FormatArg::Kind::NarrowText;
        arg.narrow = {value, FormatArg::kTerminated};
    } else if constexpr (isWidePointer<D>) {
        arg.kind = FormatArg::Kind::WideText;
        arg.wide = {value, FormatArg::kTerminated};
    } else if constexpr (std::is_convertible_v<const D&, std::string_view>) {
        const std::string_view text(value);
        arg.kind = FormatArg::Kind::NarrowText;
        arg.narrow = {text.data(), text.size()};
    } else if constexpr (std::is_convertible_v<const D&, std::u16string_view>) {
        const std::u16string_view text(value);
        arg.kind = FormatArg::Kind::WideText;
        arg.wide = {text.data(), text.size()};
    } else if constexpr (std::is_pointer_v<D> || std::is_null_pointer_v<D>) {
        arg.kind = FormatArg::Kind::Pointer;
        arg.pointer = static_cast<const void*>(value);
    } else {
        static_assert(kAlwaysFalse<T>, "type cannot be formatted");
    }
    return arg;
}

}  // namespace detail

// A format literal checked at compile time against the argument types: count,
// and for each conversion a fitting type (integer conversions: an integral or
// enum type no wider than the conversion; %s/%S: text of the right width as a
// pointer, string or string_view; %p: a pointer; floating conversions: a
// floating type; '*': an int). %n and unknown conversions are refused. A UTF-16
// format containing "%1" is checked in message style; there every argument
// must be inserted.
template <class Char, class... Args>
class BasicFormatString {
  public:
    template <class Text>
    requires std::convertible_to<const Text&, std::basic_string_view<Char>>
    consteval BasicFormatString(const Text& text) : text_(text) {
        detail::reportFormatError(detail::checkFormat<Char, Args...>(text_));
    }
    constexpr std::basic_string_view<Char> get() const { return text_; }

  private:
    std::basic_string_view<Char> text_;
};

template <class... Args>
using FormatString = BasicFormatString<char16_t, std::type_identity_t<Args>...>;
template <class... Args>
using NarrowFormatString = BasicFormatString<char, std::type_identity_t<Args>...>;

// True when `fmt` passes the compile-time check for Args (for static_assert).
template <class Char, class... Args>
constexpr bool isValidFormat(std::basic_string_view<Char> fmt) {
    return detail::checkFormat<Char, Args...>(fmt) == detail::FormatError::None;
}

// Appends the formatted text to `out` (message style when the UTF-16 format
// contains "%1", printf style otherwise; narrow formats are printf style).
template <class... Args>
void formatTo(std::u16string& out, FormatString<Args...> fmt, const Args&... args) {
    const std::array<FormatArg, sizeof...(Args)> array{detail::makeFormatArg(args)...};
    appendFormat(out, fmt.get(), array);
}
template <class... Args>
void formatTo(std::string& out, NarrowFormatString<Args...> fmt, const Args&... args) {
    const std::array<FormatArg, sizeof...(Args)> array{detail::makeFormatArg(args)...};
    appendPrintf(out, fmt.get(), array);
}

template <class... Args>
std::u16string format(FormatString<Args...> fmt, const Args&... args) {
    std::u16string out;
    formatTo(out, fmt, args...);
    return out;
}
template <class... Args>
std::string format(NarrowFormatString<Args...> fmt, const Args&... args) {
    std::string out;
    formatTo(out, fmt, args...);
    return out;
}

// For formats known only at run time (texts read from resource files, say):
// no compile-time check, but safe with any format, as the append... functions.
template <class... Args>
std::u16string formatRuntime(std::u16string_view fmt, const Args&... args) {
    const std::array<FormatArg, sizeof...(Args)> array{detail::makeFormatArg(args)...};
    std::u16string out;
    appendFormat(out, fmt, array);
    return out;
}
template <class... Args>
std::string formatRuntime(std::string_view fmt, const Args&... args) {
    const std::array<FormatArg, sizeof...(Args)> array{detail::makeFormatArg(args)...};
    std::string out;
    appendPrintf(out, fmt, array);
    return out;
}

}  // namespace holm::common

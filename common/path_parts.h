// The parts of a '/'-separated path, for narrow and UTF-16 text alike; on
// Windows '\' separates components too. Pure text: nothing here looks at the
// file system.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace holm::common {

namespace detail {

template <typename Char>
inline constexpr Char kCurrent[] = {Char('.'), Char(0)};
template <typename Char>
inline constexpr Char kCurrentWithSlash[] = {Char('.'), Char('/'), Char(0)};

// The position of the last separator of `path`, or npos.
template <typename Char>
constexpr size_t lastSeparator(std::basic_string_view<Char> path) {
#ifdef _WIN32
    constexpr Char kSeparators[] = {Char('/'), Char('\\'), Char(0)};
    return path.find_last_of(kSeparators);
#else
    return path.rfind(Char('/'));
#endif
}

// Whether the separator at `slash` is the root's: the first character, or on
// Windows the one after a drive letter ("C:\").
template <typename Char>
constexpr bool isRootSeparator(std::basic_string_view<Char> path, size_t slash) {
#ifdef _WIN32
    if (slash == 2 && path[1] == Char(':')) {
        return true;
    }
#endif
    return slash == 0;
}

template <typename Char>
constexpr std::basic_string_view<Char> fileNameOf(std::basic_string_view<Char> path) {
    const size_t slash = lastSeparator(path);
    return slash == path.npos ? path : path.substr(slash + 1);
}

template <typename Char>
constexpr std::basic_string_view<Char> directoryOf(std::basic_string_view<Char> path) {
    const size_t slash = lastSeparator(path);
    if (slash == path.npos) {
        return kCurrent<Char>;
    }
    if (isRootSeparator(path, slash)) {
        return path.substr(0, slash + 1);
    }
    return path.substr(0, slash);
}

template <typename Char>
constexpr std::basic_string_view<Char> directoryWithSlashOf(std::basic_string_view<Char> path) {
    const size_t slash = lastSeparator(path);
    return slash == path.npos ? std::basic_string_view<Char>(kCurrentWithSlash<Char>)
                              : path.substr(0, slash + 1);
}

}  // namespace detail

// The functions take any narrow or UTF-16 text (a string, a view, a literal)
// and give a view into it.
template <typename Text>
using CharOf = std::remove_cvref_t<decltype(std::declval<const Text&>()[0])>;

// What follows the last separator of `path` (all of it when it has none).
template <typename Text>
constexpr std::basic_string_view<CharOf<Text>> fileNameOf(const Text& path) {
    return detail::fileNameOf(std::basic_string_view<CharOf<Text>>(path));
}

// What precedes the last separator of `path`: the root ("/", on Windows also
// "C:\") for a name in it, "." when `path` has no separator.
template <typename Text>
constexpr std::basic_string_view<CharOf<Text>> directoryOf(const Text& path) {
    return detail::directoryOf(std::basic_string_view<CharOf<Text>>(path));
}

// `path` up to and including its last separator, "./" when it has none.
template <typename Text>
constexpr std::basic_string_view<CharOf<Text>> directoryWithSlashOf(const Text& path) {
    return detail::directoryWithSlashOf(std::basic_string_view<CharOf<Text>>(path));
}

// `directory` and `name` joined by a '/' (none added after a separator, and
// none to an empty directory).
inline std::string joinedPath(std::string_view directory, std::string_view name) {
    std::string path(directory);
    if (!path.empty() && !fileNameOf(path).empty()) {
        path += '/';
    }
    return path.append(name);
}

// Whether `c` separates path components ('/', and on Windows '\' too).
template <typename Char>
constexpr bool isPathSeparator(Char c) {
    const std::basic_string_view<Char> one(&c, 1);
    return detail::lastSeparator(one) == 0;
}

// Whether `path` is a root with its separator: "/", on Windows also "C:/".
template <typename Text>
constexpr bool isRootWithSeparator(const Text& path) {
    const std::basic_string_view<CharOf<Text>> view(path);
    return !view.empty() && detail::lastSeparator(view) == view.size() - 1 &&
           detail::isRootSeparator(view, view.size() - 1);
}

// Whether `path` names its place from a root: it starts with a separator, or
// on Windows with a drive letter, ':' and a separator ("C:\", "Z:/").
template <typename Text>
constexpr bool isAbsolutePath(const Text& path) {
    const std::basic_string_view<CharOf<Text>> view(path);
    if (view.empty()) {
        return false;
    }
    if (isPathSeparator(view.front())) {
        return true;
    }
    return view.size() > 2 && view[1] == CharOf<Text>(':') && isPathSeparator(view[2]) &&
           detail::isRootSeparator(view, 2);
}

// Whether `path` is a bare name, without any separator.
template <typename Text>
constexpr bool isBareName(const Text& path) {
    const std::basic_string_view<CharOf<Text>> view(path);
    return detail::lastSeparator(view) == view.npos;
}

}  // namespace holm::common

// The parts of a '/'-separated path, for narrow and UTF-16 text alike. Pure
// text: nothing here looks at the file system.
#pragma once

#include <string_view>

namespace holm::text {

namespace detail {

template <typename Char>
inline constexpr Char kRoot[] = {Char('/'), Char(0)};
template <typename Char>
inline constexpr Char kCurrent[] = {Char('.'), Char(0)};
template <typename Char>
inline constexpr Char kCurrentWithSlash[] = {Char('.'), Char('/'), Char(0)};

template <typename Char>
constexpr std::basic_string_view<Char> fileNameOf(std::basic_string_view<Char> path) {
    const size_t slash = path.rfind(Char('/'));
    return slash == path.npos ? path : path.substr(slash + 1);
}

template <typename Char>
constexpr std::basic_string_view<Char> directoryOf(std::basic_string_view<Char> path) {
    const size_t slash = path.rfind(Char('/'));
    if (slash == path.npos) {
        return kCurrent<Char>;
    }
    return slash == 0 ? std::basic_string_view<Char>(kRoot<Char>) : path.substr(0, slash);
}

template <typename Char>
constexpr std::basic_string_view<Char> directoryWithSlashOf(std::basic_string_view<Char> path) {
    const size_t slash = path.rfind(Char('/'));
    return slash == path.npos ? std::basic_string_view<Char>(kCurrentWithSlash<Char>)
                              : path.substr(0, slash + 1);
}

}  // namespace detail

// What follows the last '/' of `path` (all of it when it has none).
constexpr std::string_view fileNameOf(std::string_view path) {
    return detail::fileNameOf(path);
}
constexpr std::u16string_view fileNameOf(std::u16string_view path) {
    return detail::fileNameOf(path);
}

// What precedes the last '/' of `path`: "/" for a name in the root, "." when
// `path` has no '/'.
constexpr std::string_view directoryOf(std::string_view path) {
    return detail::directoryOf(path);
}
constexpr std::u16string_view directoryOf(std::u16string_view path) {
    return detail::directoryOf(path);
}

// `path` up to and including its last '/', "./" when it has none.
constexpr std::string_view directoryWithSlashOf(std::string_view path) {
    return detail::directoryWithSlashOf(path);
}
constexpr std::u16string_view directoryWithSlashOf(std::u16string_view path) {
    return detail::directoryWithSlashOf(path);
}

}  // namespace holm::text

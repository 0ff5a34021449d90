// The parts of a '/'-separated path, for narrow and UTF-16 text alike. Pure
// text: nothing here looks at the file system.
#pragma once

#include <string_view>
#include <type_traits>
#include <utility>
#include "common/former_names.h"

namespace holm::common {

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

// The functions take any narrow or UTF-16 text (a string, a view, a literal)
// and give a view into it.
template <typename Text>
using CharOf = std::remove_cvref_t<decltype(std::declval<const Text&>()[0])>;

// What follows the last '/' of `path` (all of it when it has none).
template <typename Text>
constexpr std::basic_string_view<CharOf<Text>> fileNameOf(const Text& path) {
    return detail::fileNameOf(std::basic_string_view<CharOf<Text>>(path));
}

// What precedes the last '/' of `path`: "/" for a name in the root, "." when
// `path` has no '/'.
template <typename Text>
constexpr std::basic_string_view<CharOf<Text>> directoryOf(const Text& path) {
    return detail::directoryOf(std::basic_string_view<CharOf<Text>>(path));
}

// `path` up to and including its last '/', "./" when it has none.
template <typename Text>
constexpr std::basic_string_view<CharOf<Text>> directoryWithSlashOf(const Text& path) {
    return detail::directoryWithSlashOf(std::basic_string_view<CharOf<Text>>(path));
}

}  // namespace holm::common

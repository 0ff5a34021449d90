// Paths and directories. '/' separates path parts.
#pragma once

#include <string>
#include <string_view>

namespace Tandro::Utilities {

namespace Path {

// The full path of `name` inside `directory`: exactly one '/' between the two.
// An absolute `name` (starting with '/') is returned as it is, and so is any
// `name` when `directory` is empty.
std::u16string Combine(std::u16string_view directory, std::u16string_view name);

// `directory` ending in exactly one '/' ("/" stays "/"; empty stays empty).
std::u16string NormaliseDirectory(std::u16string_view directory);

}  // namespace Path

namespace Directory {

// Whether `path` names an existing directory.
bool Exists(std::u16string_view path);

// Creates the directory `path` (its parent must exist) with access for the
// owner only: the service runs as the administrator, so only administrators
// reach it. False when anything already exists at `path` or creation fails.
bool CreateAdminOnly(std::u16string_view path);

}  // namespace Directory

}  // namespace Tandro::Utilities

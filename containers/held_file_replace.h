// Replacing a file that the replacing object itself holds open (and locked)
// while it decides on the new content.
#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::containers {

// Replaces the file at `path` with `content` atomically, keeping `held`, the
// caller's own descriptor of that file and its lock, for as long as the
// system allows. A rename replaces an open file on POSIX systems and with
// the POSIX-semantics rename of newer Windows; an older Windows refuses it
// with "access denied" while any handle is open. Then `held` is released and
// the replacement made once more: it succeeds unless someone else holds the
// file, which is the sharing rule of that system, reported as its error.
platform::Status replaceHeldFile(const std::string& path, std::string_view content,
                                 platform::UniqueFd& held);

}  // namespace holm::containers

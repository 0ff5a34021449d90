// The core's entry point as a host calls it, over a list given inline or
// as a file.
#pragma once

#include <filesystem>
#include <string>

#include "core/support/host_harness.h"
#include "support/test_support.h"

namespace holm::test {

inline CorePtr makeEntryCore(const std::u16string& list, RecordingHandler& handler) {
    return CorePtr(coreEntry()(list.c_str(), &handler, nullptr));
}

// A list file the relaxed check accepts: unsigned, in a private directory,
// writable by its owner only.
inline std::filesystem::path writeEntryList(const TempDir& dir, const std::string& content) {
    auto path = dir.write("plugins.xml", content);
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
    return path;
}

}  // namespace holm::test

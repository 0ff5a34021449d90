// The core library's thread-local block (the gateway's per-thread record, the
// read slots of the plugin list, the log's buffers, ...) must stay small: a
// library loaded at run time gets its block beside the program's only while
// it fits the room the loader keeps for that (512 bytes unless tuned), and
// there its thread-local objects cost two instructions to reach instead of a
// look-up call on every use. One generator's state of a few kilobytes is
// enough to lose that without any other sign.
#include <link.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/shared_library.h"

namespace {

constexpr size_t kLoadersSpareRoom = 512;

struct Search {
    std::string_view fileName;
    bool found = false;
    size_t threadBlockSize = 0;
};

int inspect(dl_phdr_info* info, size_t, void* data) {
    auto& search = *static_cast<Search*>(data);
    const std::string_view name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    if (!name.ends_with(search.fileName)) {
        return 0;
    }
    search.found = true;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_TLS) {
            search.threadBlockSize = info->dlpi_phdr[i].p_memsz;
        }
    }
    return 1;
}

TEST(CoreThreadBlock, FitsTheRoomTheLoaderKeepsForLibrariesLoadedLater) {
    const std::string path = HOLM_CORE_LIBRARY;
    auto library = holm::platform::SharedLibrary::open(path);
    ASSERT_TRUE(library) << library.error().message;
    Search search{std::string_view(path).substr(path.rfind('/') + 1)};
    dl_iterate_phdr(inspect, &search);
    ASSERT_TRUE(search.found);
    EXPECT_LE(search.threadBlockSize, kLoadersSpareRoom);
}

}  // namespace

// The core library's thread-local block (the gateway's per-thread record, the
// read slots of the plugin list, the log's buffers, ...) must stay small: a
// library loaded at run time gets its block beside the program's only while
// it fits the room the loader keeps for that (512 bytes unless tuned), and
// there its thread-local objects cost two instructions to reach instead of a
// look-up call on every use. One generator's state of a few kilobytes is
// enough to lose that without any other sign.
#include <link.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/shared_library.h"

namespace {

constexpr size_t kLoadersSpareRoom = 512;

// The module is found by an address inside it: a test that loaded it before
// through a descriptor left the loader knowing it by another name.
struct Search {
    uintptr_t inside = 0;
    bool found = false;
    size_t threadBlockSize = 0;
};

bool contains(const dl_phdr_info& info, uintptr_t address) {
    for (ElfW(Half) i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info.dlpi_phdr[i];
        const uintptr_t start = info.dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && address >= start && address - start < segment.p_memsz) {
            return true;
        }
    }
    return false;
}

int inspect(dl_phdr_info* info, size_t, void* data) {
    auto& search = *static_cast<Search*>(data);
    if (!contains(*info, search.inside)) {
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
    auto library = holm::platform::SharedLibrary::open(HOLM_CORE_LIBRARY);
    ASSERT_TRUE(library) << library.error().message;
    void* entry = library->symbol("getHlmCore");
    ASSERT_NE(entry, nullptr);
    Search search{reinterpret_cast<uintptr_t>(entry)};
    dl_iterate_phdr(inspect, &search);
    ASSERT_TRUE(search.found);
    EXPECT_LE(search.threadBlockSize, kLoadersSpareRoom);
}

}  // namespace

// Linux copies a write into the page cache page by page and checks for a
// fatal signal before each page: a write killed part-way stops at a page
// boundary, with the pages before it in the file.
#include "services/support/write_cuts.h"

namespace holm::test {

std::vector<size_t> killCutsOfAWrite(uint64_t offset, size_t size) {
    constexpr uint64_t kPage = 4096;
    std::vector<size_t> cuts{0};
    for (uint64_t boundary = (offset / kPage + 1) * kPage; boundary < offset + size;
         boundary += kPage) {
        cuts.push_back(static_cast<size_t>(boundary - offset));
    }
    return cuts;
}

}  // namespace holm::test

// Where a write can stop when the process making it is killed inside it, as
// the system decides: the kill sweep of the report log (log_crash_test.cpp)
// kills its writer at each of these places.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace holm::test {

// The lengths of the first parts of a write of `size` bytes at file offset
// `offset` that may be in the file when the process is killed inside the
// write, ascending: 0 (nothing of it) first, never `size` itself.
std::vector<size_t> killCutsOfAWrite(uint64_t offset, size_t size);

}  // namespace holm::test

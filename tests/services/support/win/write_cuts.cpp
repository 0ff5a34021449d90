// Windows ends a thread of a terminated process only outside the file
// system's copy of a write: a write call is in the file whole or not at all.
#include "services/support/write_cuts.h"

namespace holm::test {

std::vector<size_t> killCutsOfAWrite(uint64_t, size_t) {
    return {0};
}

}  // namespace holm::test

#include "platform/memory.h"

#include <malloc.h>

namespace holm::platform {

void releaseFreeMemory() {
    ::malloc_trim(0);
}

}  // namespace holm::platform

// Readable names of the Windows exception codes that processor faults are
// reported with.
#pragma once

#include <cstdint>

namespace holm::services {

// The name of an exception code ("ACCESS_VIOLATION", "BREAKPOINT FOUND",
// ...); "UNKNOWN" for a code not in the table. The text is static.
const char16_t* exceptionName(uint32_t code);

}  // namespace holm::services

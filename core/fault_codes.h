// Names of the Windows exception codes a processor fault is reported with.
#pragma once

#include <cstdint>

#include "services/exception_names.h"

namespace holm::core {

// The name of an exception code ("ACCESS_VIOLATION", "INT_DIVIDE_BY_ZERO",
// ...); "UNKNOWN" for a code not in the table. The one table is the debug
// support's.
inline const char16_t* codeName(uint32_t code) {
    return services::exceptionName(code);
}

}  // namespace holm::core

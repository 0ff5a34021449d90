#include <cstdlib>

#include "support/test_support.h"

namespace holm::test {

// The C runtime's copy of the environment is the one getenv reads in every
// module of the process; _putenv_s also updates the process's own block, so
// programs started from here inherit the change.
void setEnvironment(const char* name, const char* value) {
    ::_putenv_s(name, value != nullptr ? value : "");
}

}  // namespace holm::test

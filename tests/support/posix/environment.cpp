#include <cstdlib>

#include "support/test_support.h"

namespace holm::test {

void setEnvironment(const char* name, const char* value) {
    if (value != nullptr) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
}

}  // namespace holm::test

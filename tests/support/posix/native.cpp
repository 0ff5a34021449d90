#include <dlfcn.h>

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

bool onWindows() {
    return false;
}

bool fileModesApply() {
    return true;
}

void* loadNativeModule(const std::string& path) {
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void unloadNativeModule(void* module) {
    if (module != nullptr) {
        ::dlclose(module);
    }
}

}  // namespace holm::test

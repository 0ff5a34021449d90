#include <windows.h>

#include <string>

#include "support/test_support.h"

namespace holm::test {

namespace {

std::wstring wideOf(const std::string& text) {
    const int length =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          length);
    return wide;
}

}  // namespace

// Through the C runtime, so that getenv in this process sees the change as
// well as the children started later.
void setEnvironment(const char* name, const std::string& value) {
    ::_putenv_s(name, value.c_str());
}

void unsetEnvironment(const char* name) {
    ::_putenv_s(name, "");  // an empty value removes the variable
}

bool onWindows() {
    return true;
}

bool fileModesApply() {
    return false;
}

void* loadNativeModule(const std::string& path) {
    return ::LoadLibraryW(wideOf(path).c_str());
}

void unloadNativeModule(void* module) {
    if (module != nullptr) {
        ::FreeLibrary(static_cast<HMODULE>(module));
    }
}

}  // namespace holm::test

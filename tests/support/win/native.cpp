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

// The C runtime's copy of the environment is the one getenv reads in every
// module of the process; _putenv_s also updates the process's own block, so
// programs started from here inherit the change. An empty value removes the
// variable.
void setEnvironment(const char* name, const char* value) {
    ::_putenv_s(name, value != nullptr ? value : "");
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

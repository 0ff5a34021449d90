#include "platform/process_info.h"

#include "platform/win/native.h"

#include <shellapi.h>

namespace holm::platform {

std::string_view programSuffix() {
    return ".exe";
}

std::string executablePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);  // cut off: try a larger buffer
    }
    std::string result = win::narrow(path);
    for (char& c : result) {
        if (c == '\\') {
            c = '/';
        }
    }
    return result;
}

std::vector<std::string> commandLineArguments() {
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> result;
    if (arguments == nullptr) {
        return result;
    }
    for (int i = 0; i < count; ++i) {
        result.push_back(win::narrow(arguments[i]));
    }
    ::LocalFree(arguments);
    return result;
}

uint32_t currentThreadId() {
    return ::GetCurrentThreadId();
}

uint32_t currentProcessId() {
    return ::GetCurrentProcessId();
}

// Windows has security identifiers, not numeric user ids; the portable code
// only compares a file's owner with this value, and the Windows facts give
// every file this process may write this same value (file_system.cpp).
uint32_t effectiveUserId() {
    return 0;
}

}  // namespace holm::platform

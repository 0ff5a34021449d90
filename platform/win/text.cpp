#include <cerrno>

#include "common/utf16.h"
#include "platform/win/native.h"

namespace holm::platform::win {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

std::wstring wide(std::string_view utf8) {
    const std::u16string text = common::utf8ToUtf16(utf8);
    return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

std::string narrow(std::wstring_view text) {
    return common::utf16ToUtf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

std::wstring nativePath(std::string_view path) {
    std::wstring result = wide(path);
    for (wchar_t& c : result) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return result;
}

bool isAbsolutePath(std::string_view path) {
    const auto separator = [](char c) { return c == '/' || c == '\\'; };
    if (path.size() >= 2 && separator(path[0]) && separator(path[1])) {
        return true;
    }
    return path.size() >= 3 && path[1] == ':' && separator(path[2]);
}

std::wstring finalPathOf(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            failLastWin32();
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(length + 1);
    }
    // "\\?\C:\dir" -> "C:\dir"; a share keeps its long form ("\\?\UNC\...").
    if (path.starts_with(L"\\\\?\\") && path.size() >= 6 && path[5] == L':') {
        path.erase(0, 4);
    }
    return path;
}

std::wstring pathAt(int directoryFd, std::string_view name) {
    if (directoryFd == kCurrentDirectory || isAbsolutePath(name)) {
        return nativePath(name);
    }
    HANDLE directory = handleOf(directoryFd);
    if (directory == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::wstring path = finalPathOf(directory);
    if (path.empty()) {
        return {};
    }
    if (!path.ends_with(L'\\')) {
        path += L'\\';
    }
    return path + nativePath(name);
}

std::chrono::system_clock::time_point fromFileTime(const FILETIME& time) {
    // 100 ns ticks from 1601-01-01 to 1970-01-01.
    constexpr int64_t kEpochOffset = 116444736000000000LL;
    const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                               time.dwLowDateTime) -
                          kEpochOffset;
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<int64_t, std::ratio<1, 10000000>>(ticks)));
}

}  // namespace holm::platform::win

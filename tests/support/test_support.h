// Helpers shared by the test suites.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>

namespace holm::test {

// Whether `condition` holds within 30 seconds, asked again and again
// (yielding between): for a state another thread reaches without telling,
// such as a caller that is blocked inside a wait.
template <typename Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes out of scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes `content` to `name` inside the directory and returns its path.
    std::filesystem::path write(const std::string& name, const std::string& content) const;

  private:
    std::filesystem::path path_;
};

// The uid tests hand files to when they need an owner other than themselves
// (the conventional unprivileged "nobody").
inline constexpr unsigned kAnotherUser = 65534;

// Whether this process may hand its files to another user (only root may).
bool canGiveAwayFiles();

// Makes kAnotherUser the owner of `path` itself (a link is not followed).
// False when that is not allowed.
bool giveToAnotherUser(const std::filesystem::path& path);

// Sets `name` in this process's environment to `value`, or removes it when
// `value` is null; the libraries the process loads read the same environment,
// and children started later inherit it.
void setEnvironment(const char* name, const char* value);
void setEnvironment(const char* name, const std::string& value);
void setEnvironment(const char* name, const std::filesystem::path& value);
void unsetEnvironment(const char* name);

// Whether this is Windows, for the cases its file rules decide otherwise:
// an open file or a directory holding one can be neither removed nor
// replaced there.
bool onWindows();

// Whether files and directories carry permission bits that the system
// enforces (a Windows file carries an access list instead).
bool fileModesApply();

// Loads the module at `path` with the system's own loader and returns the
// loader's handle (what a plugin holds for a module it loaded itself), or
// nullptr; `unloadNativeModule` lets go of it.
void* loadNativeModule(const std::string& path);
void unloadNativeModule(void* module);

// The repository's source directory (set by CTest; falls back to the
// compile-time location).
std::filesystem::path sourceDir();

// The whole content of the file at `path` (empty when it cannot be read).
std::string bytesOf(const std::filesystem::path& path);

// A text an interface handed out, "<null>" for a null pointer (for messages).
inline std::u16string printable(const char16_t* value) {
    return value != nullptr ? std::u16string(value) : std::u16string(u"<null>");
}

// A path as the UTF-8 text the project's narrow interfaces take, and UTF-8
// text as a path (on Windows a narrow path is not in the system's code page).
inline std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}
inline std::filesystem::path pathOfUtf8(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// A path as the UTF-16 text the core's interfaces take.
inline std::u16string u16(const std::filesystem::path& path) {
    return path.u16string();
}

// The bytes of a UTF-16LE file holding `text`, byte-order mark first.
std::string utf16File(std::u16string_view text);

}  // namespace holm::test

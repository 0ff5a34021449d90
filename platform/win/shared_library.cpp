#include "platform/shared_library.h"

#include "platform/module_record.h"
#include "platform/win/native.h"

#include <tlhelp32.h>

namespace holm::platform {

namespace {

// Dependencies of a library come from the program's own directory and the
// system directory only: never from the library's folder, the current
// directory or PATH, where anyone who can write a folder could plant one.
constexpr DWORD kLoadFlags = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

// The same rule for the loads the system makes on its own later (delay-
// loaded imports, a library calling LoadLibrary itself): made the process's
// default once, before the first library is loaded through this module.
void restrictDefaultSearch() {
    static const bool restricted = ::SetDefaultDllDirectories(kLoadFlags) != 0;
    (void)restricted;  // a system without it still has kLoadFlags on our loads
}

// The files of libraries loaded from a verified descriptor, held open
// without write or delete sharing for as long as the library is loaded:
// what was verified cannot be changed under the loaded module.
ModuleRecord<HMODULE, HANDLE>& heldFiles() {
    static auto* record = new ModuleRecord<HMODULE, HANDLE>;  // lives until the process ends
    return *record;
}

void holdFile(HMODULE module, HANDLE file) {
    if (auto spare = heldFiles().add(module, file)) {
        ::CloseHandle(*spare);  // the module's file is held already
    }
}

void releaseFile(HMODULE module) {
    if (auto file = heldFiles().release(module)) {
        ::CloseHandle(*file);
    }
}

std::optional<FileIdentity> identityOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION data{};
    if (!::GetFileInformationByHandle(file, &data)) {
        return std::nullopt;
    }
    return FileIdentity{data.dwVolumeSerialNumber,
                        (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow};
}

std::wstring moduleFileName(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::string portable(std::wstring_view path) {
    std::string result = win::narrow(path);
    for (char& c : result) {
        if (c == '\\') {
            c = '/';
        }
    }
    return result;
}

// The identity of the file at `path`, looked up now.
std::optional<FileIdentity> identityAt(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    auto id = identityOf(file);
    ::CloseHandle(file);
    return id;
}

std::string systemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = "error " + std::to_string(error);
    if (length > 0 && text != nullptr) {
        std::wstring_view view(text, length);
        while (!view.empty() && (view.back() == L'\n' || view.back() == L'\r')) {
            view.remove_suffix(1);
        }
        message = win::narrow(view);
    }
    ::LocalFree(text);
    return message;
}

LoadFailure failedLoad(DWORD error) {
    return LoadFailure{error, systemMessage(error)};
}

// The loaded module containing `address`, without taking a reference.
HMODULE moduleAt(const void* address) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(address), &module)) {
        return nullptr;
    }
    return module;
}

const IMAGE_NT_HEADERS* headersOf(HMODULE module) {
    const auto* base = reinterpret_cast<const unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
}

}  // namespace

void LibraryTraits::close(void* handle) noexcept {
    ::FreeLibrary(static_cast<HMODULE>(handle));
}

SharedLibrary::SharedLibrary(UniqueLibrary handle, const std::string& path,
                             std::optional<FileIdentity> file)
    : handle_(std::move(handle)), path_(path) {
    id_ = file ? *file
               : identityAt(moduleFileName(static_cast<HMODULE>(handle_.get())))
                     .value_or(FileIdentity{});
}

LoadResult SharedLibrary::open(const std::string& path) {
    if (path.empty()) {
        return LoadFailure{WinError::kInvalidParameter, "empty library path"};
    }
    // The search flags need a full path.
    const std::wstring native = win::nativePath(path);
    wchar_t full[MAX_PATH * 4];
    const DWORD length = ::GetFullPathNameW(native.c_str(), MAX_PATH * 4, full, nullptr);
    if (length == 0 || length >= MAX_PATH * 4) {
        return LoadFailure{WinError::kInvalidParameter, "library path cannot be made absolute"};
    }
    const DWORD attributes = ::GetFileAttributesW(full);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return LoadFailure{WinError::kAccessDenied, "not a regular file"};
    }
    restrictDefaultSearch();
    UniqueLibrary handle(::LoadLibraryExW(full, nullptr, kLoadFlags));
    if (!handle) {
        return failedLoad(::GetLastError());
    }
    return SharedLibrary(std::move(handle), path);
}

LoadResult SharedLibrary::openSystemLibrary(const std::string& fileName) {
    if (fileName.empty() || fileName.find_first_of("/\\:") != std::string::npos) {
        return LoadFailure{WinError::kInvalidParameter, "not a bare library name"};
    }
    // The product loads no library by name here: a search could be answered
    // by a file planted in a searched folder.
    return LoadFailure{WinError::kModNotFound,
                       fileName + ": libraries are loaded from the product directory only"};
}

LoadResult SharedLibrary::openDescriptor(int fd, const std::string& originalPath) {
    HANDLE file = win::handleOf(fd);
    if (file == INVALID_HANDLE_VALUE) {
        return LoadFailure{WinError::kInvalidHandle, "not an open descriptor"};
    }
    if (win::kindOf(fd) != win::HandleKind::File || ::GetFileType(file) != FILE_TYPE_DISK) {
        return LoadFailure{WinError::kAccessDenied, "not a regular file"};
    }
    const std::optional<FileIdentity> verified = identityOf(file);
    const std::wstring path = win::finalPathOf(file);
    if (!verified || path.empty()) {
        return failedLoad(::GetLastError());
    }
    // Held from here until the module is unloaded (the caller's descriptor
    // may close as soon as this returns).
    HANDLE held = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), file, ::GetCurrentProcess(), &held, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return failedLoad(::GetLastError());
    }
    restrictDefaultSearch();
    UniqueLibrary handle(::LoadLibraryExW(path.c_str(), nullptr, kLoadFlags));
    if (!handle) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(held);
        return failedLoad(error);
    }
    // The loader maps by name: the module must be the very file verified
    // (a module of that name loaded earlier from another file is not).
    const auto module = static_cast<HMODULE>(handle.get());
    if (identityAt(moduleFileName(module)) != verified) {
        ::CloseHandle(held);
        return LoadFailure{WinError::kAccessDenied,
                           "a different file is loaded under the verified file's name"};
    }
    holdFile(module, held);
    SharedLibrary library(std::move(handle), originalPath, verified);
    library.loaderName_ = portable(path);  // marks the held file
    return library;
}

void* SharedLibrary::symbol(const char* name) const {
    if (!handle_ || name == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_.get()), name));
}

void SharedLibrary::close() {
    const auto module = static_cast<HMODULE>(handle_.get());
    handle_.reset();
    if (!loaderName_.empty()) {
        releaseFile(module);
        loaderName_.clear();
    }
}

void SharedLibrary::keepLoaded() {
    // Neither the reference nor the held file is ever given back.
    handle_.release();
    loaderName_.clear();
}

std::string modulePathContaining(const void* address) {
    HMODULE module = moduleAt(address);
    return module == nullptr ? std::string() : portable(moduleFileName(module));
}

bool addressInModule(const void* address, const SharedLibrary& library) {
    return library.handle_ && moduleAt(address) == static_cast<HMODULE>(library.handle_.get());
}

bool addressInProgramOrModuleOf(const void* address, const void* anchor) {
    const HMODULE containing = moduleAt(address);
    return containing != nullptr &&
           (containing == ::GetModuleHandleW(nullptr) || containing == moduleAt(anchor));
}

std::optional<std::span<const std::byte>> moduleExportedBlock(void* handle, const char* dataName,
                                                              const char* sizeName) {
    // A module handle is its base address: only a value that is the base
    // of a loaded module is followed.
    const auto module = static_cast<HMODULE>(handle);
    if (handle == nullptr || moduleAt(handle) != module) {
        return std::nullopt;
    }
    const auto* data = reinterpret_cast<const std::byte*>(::GetProcAddress(module, dataName));
    const auto* size = reinterpret_cast<const uint32_t*>(::GetProcAddress(module, sizeName));
    if (data == nullptr || size == nullptr) {
        return std::nullopt;
    }
    const auto base = reinterpret_cast<uintptr_t>(module);
    const uintptr_t end = base + headersOf(module)->OptionalHeader.SizeOfImage;
    const auto start = reinterpret_cast<uintptr_t>(data);
    const auto sizeAt = reinterpret_cast<uintptr_t>(size);
    if (sizeAt < base || sizeAt + sizeof(uint32_t) > end || start < base || start > end ||
        *size > end - start) {
        return std::nullopt;
    }
    return std::span<const std::byte>(data, *size);
}

namespace {

template <typename Visit>
void forEachModule(Visit visit) {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32,
                                                 ::GetCurrentProcessId());
    if (snapshot == INVALID_HANDLE_VALUE) {
        return;
    }
    MODULEENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Module32FirstW(snapshot, &entry); more;
         more = ::Module32NextW(snapshot, &entry)) {
        visit(entry);
    }
    ::CloseHandle(snapshot);
}

}  // namespace

// The identities of the files of the loaded modules. A loaded module's file
// cannot be written or deleted while it is mapped, so its name still names it.
std::vector<FileIdentity> loadedModuleIds() {
    std::vector<FileIdentity> ids;
    forEachModule([&](const MODULEENTRY32W& entry) {
        if (auto id = identityAt(entry.szExePath)) {
            ids.push_back(*id);
        }
    });
    return ids;
}

std::vector<ModuleImage> loadedModuleImages() {
    std::vector<ModuleImage> images;
    forEachModule([&](const MODULEENTRY32W& entry) {
        ModuleImage image;
        image.path = portable(entry.szExePath);
        const auto start = reinterpret_cast<uintptr_t>(entry.modBaseAddr);
        image.start = start;
        image.end = start + entry.modBaseSize;
        // Tools resolve addresses against the image base the file was
        // linked for.
        const auto preferred = static_cast<uint64_t>(
            headersOf(reinterpret_cast<HMODULE>(entry.modBaseAddr))->OptionalHeader.ImageBase);
        image.base = start - preferred;
        images.push_back(std::move(image));
    });
    return images;
}

}  // namespace holm::platform

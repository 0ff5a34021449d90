#include "platform/shared_library.h"
#include "platform/posix/proc_file.h"

#include <dlfcn.h>

#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <cstdio>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/errors.h"
#include "platform/io.h"
#include "platform/module_record.h"
#include "platform/process_info.h"

namespace holm::platform {
namespace {

constexpr std::string_view kDescriptorPrefix = "/proc/self/fd/";

bool isDescriptorName(const char* name) {
    return name != nullptr && std::string_view(name).starts_with(kDescriptorPrefix);
}

// A name for loading the file open on `fd` that no load before used.
// The loader takes a module whose name matches the requested one as already
// loaded, without looking at the file: "/proc/self/fd/N" of a module loaded
// earlier through a since-closed descriptor N would hand back that module
// instead of the file now open on N. So each load gets a distinct spelling,
// made by inserting "/" and "./" steps (which the kernel ignores) that count
// the loads in bijective base 2.
std::string uniqueDescriptorName(int fd) {
    static std::atomic<uint64_t> loads{0};
    uint64_t serial = loads.fetch_add(1);
    std::string name(kDescriptorPrefix);
    while (serial > 0) {
        --serial;
        name += (serial & 1) != 0 ? "./" : "/";
        serial >>= 1;
    }
    return name + std::to_string(fd);
}

// One line of the kernel's mapping table (/proc/self/maps): an address range
// and the file mapped there (inode 0 for anonymous memory).
struct Mapping {
    uintptr_t low = 0;
    uintptr_t high = 0;
    FileIdentity file;
    std::string path;  // as the kernel shows it, possibly with " (deleted)"
};

std::optional<Mapping> parseMapping(const std::string& line) {
    unsigned long long low = 0, high = 0, inode = 0;
    unsigned int major = 0, minor = 0;
    int pathOffset = -1;
    if (std::sscanf(line.c_str(), "%llx-%llx %*s %*s %x:%x %llu %n", &low, &high, &major, &minor,
                    &inode, &pathOffset) < 5) {
        return std::nullopt;
    }
    Mapping mapping;
    mapping.low = static_cast<uintptr_t>(low);
    mapping.high = static_cast<uintptr_t>(high);
    mapping.file = {static_cast<uint64_t>(makedev(major, minor)), static_cast<uint64_t>(inode)};
    if (pathOffset >= 0 && static_cast<size_t>(pathOffset) < line.size()) {
        mapping.path = line.substr(static_cast<size_t>(pathOffset));
    }
    return mapping;
}

// The process's mappings, in address order.
std::vector<Mapping> currentMappings() {
    std::vector<Mapping> mappings;
    const std::string maps = readWholeFile("/proc/self/maps");
    size_t lineStart = 0;
    while (lineStart < maps.size()) {
        size_t lineEnd = maps.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            lineEnd = maps.size();
        }
        if (auto mapping = parseMapping(maps.substr(lineStart, lineEnd - lineStart))) {
            mappings.push_back(std::move(*mapping));
        }
        lineStart = lineEnd + 1;
    }
    return mappings;
}

const Mapping* mappingAt(const std::vector<Mapping>& mappings, uintptr_t address) {
    for (const Mapping& mapping : mappings) {
        if (address >= mapping.low && address < mapping.high) {
            return &mapping;
        }
    }
    return nullptr;
}

// The file the kernel has mapped at `address`; nothing for anonymous memory.
std::optional<FileIdentity> mappedFileAt(const std::vector<Mapping>& mappings, uintptr_t address) {
    const Mapping* mapping = mappingAt(mappings, address);
    if (mapping == nullptr || mapping->file.inode == 0) {
        return std::nullopt;
    }
    return mapping->file;
}

// The path each module loaded through a descriptor was opened by, keyed by
// the loader's name for the module, which is unique for the life of the
// process (see uniqueDescriptorName).
ModuleRecord<std::string, std::string>& moduleTable() {
    static ModuleRecord<std::string, std::string> table;
    return table;
}

// The loader's names of every loaded module ("" for the program itself).
std::vector<std::string> loaderNames() {
    std::vector<std::string> names;
    ::dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void* context) {
            auto* collected = static_cast<std::vector<std::string>*>(context);
            collected->emplace_back(info->dlpi_name != nullptr ? info->dlpi_name : "");
            return 0;
        },
        &names);
    return names;
}

bool isLoadedUnder(const std::string& loaderName) {
    for (const std::string& name : loaderNames()) {
        if (name == loaderName) {
            return true;
        }
    }
    return false;
}

std::string loaderMessage() {
    const char* text = ::dlerror();
    return text != nullptr ? text : "";
}

// A descriptor name no module in the process is loaded under. The serial of
// uniqueDescriptorName counts this copy's loads only: a host and the core it
// loaded each have their own, so a name may already be taken by a module the
// other one loaded. The loader's own list tells.
std::string freeDescriptorName(int fd) {
    std::string name = uniqueDescriptorName(fd);
    while (isLoadedUnder(name)) {
        name = uniqueDescriptorName(fd);
    }
    return name;
}

bool startsWithElfMagic(int fd) {
    uint8_t header[4] = {};
    return io::readFullAt(fd, header, 0).ok() && std::memcmp(header,
                                                             "\x7f"
                                                             "ELF",
                                                             sizeof header) == 0;
}

// Why the loader refused a file that exists, is regular and is ELF, judged
// from its message (the loader gives no error number).
uint32_t errorFromLoaderMessage(std::string_view message) {
    if (message.find("undefined symbol") != std::string_view::npos) {
        return WinError::kProcNotFound;
    }
    if (message.find("cannot open shared object file") != std::string_view::npos) {
        return WinError::kModNotFound;  // a library it depends on is missing
    }
    if (message.find("cannot allocate memory") != std::string_view::npos) {
        return WinError::kNotEnoughMemory;
    }
    return WinError::kBadExeFormat;
}

// The error for a failed load of the file open on `fd`.
uint32_t errorForFailedLoad(int fd, std::string_view message) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return windowsErrorFromErrno(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return WinError::kAccessDenied;
    }
    if (!startsWithElfMagic(fd)) {
        return WinError::kBadExeFormat;
    }
    return errorFromLoaderMessage(message);
}

// The error for a failed load by path: the file itself is examined first so
// that a missing file is told apart from a missing dependency.
uint32_t errorForFailedLoad(const std::string& path, std::string_view message) {
    if (path.find('/') == std::string::npos) {
        // Searched for by the loader: nothing of ours to examine.
        return errorFromLoaderMessage(message);
    }
    auto file = io::open(path, {.followLink = true});
    if (!file) {
        const int error = file.error().errnoValue();
        return error == ENOENT || error == ENOTDIR ? WinError::kModNotFound
                                                   : windowsErrorFromErrno(error);
    }
    return errorForFailedLoad(file->get(), message);
}

struct link_map* linkMapOf(void* handle) {
    struct link_map* map = nullptr;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0) {
        return nullptr;
    }
    return map;
}

}  // namespace

void LibraryTraits::close(void* handle) noexcept {
    ::dlclose(handle);
}

SharedLibrary::SharedLibrary(UniqueLibrary handle, const std::string& path,
                             std::optional<FileIdentity> file)
    : handle_(std::move(handle)), path_(path) {
    struct link_map* map = linkMapOf(handle_.get());
    if (map == nullptr || map->l_name == nullptr) {
        return;  // not expected for a handle the loader just gave out
    }
    // The module's dynamic section lies in one of its file mappings. Reading
    // the mapping table costs more than the rest of a small library's load,
    // so a known identity is taken as it is: the loader never maps a second
    // copy of a file it has loaded, so the module is that file.
    id_ = file ? *file
               : mappedFileAt(currentMappings(), reinterpret_cast<uintptr_t>(map->l_ld))
                     .value_or(FileIdentity{});
    if (isDescriptorName(map->l_name)) {
        // Loaded through a descriptor, by this load or an earlier one of the
        // same file: the table keeps the name the system should report.
        loaderName_ = map->l_name;
        (void)moduleTable().add(loaderName_, path_);  // the first opener's path is kept
    }
}

LoadResult SharedLibrary::open(const std::string& path) {
    if (path.empty()) {
        // dlopen("") would hand back the program itself.
        return LoadFailure{WinError::kInvalidParameter, "empty library path"};
    }
    UniqueLibrary handle(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!handle) {
        std::string text = loaderMessage();
        const uint32_t error = errorForFailedLoad(path, text);
        return LoadFailure{error, std::move(text)};
    }
    return SharedLibrary(std::move(handle), path);
}

LoadResult SharedLibrary::openSystemLibrary(const std::string& fileName) {
    if (fileName.empty() || fileName.find('/') != std::string::npos) {
        return LoadFailure{WinError::kInvalidParameter, "not a bare library name"};
    }
    // Without a '/' the loader searches its own directories (and the run
    // paths of the program), never the current directory.
    return open(fileName);
}

LoadResult SharedLibrary::openDescriptor(int fd, const std::string& originalPath) {
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        return LoadFailure{WinError::kInvalidHandle, "not an open descriptor"};
    }
    if (!S_ISREG(status.st_mode)) {
        return LoadFailure{WinError::kAccessDenied, "not a regular file"};
    }
    UniqueLibrary handle(::dlopen(freeDescriptorName(fd).c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!handle) {
        std::string text = loaderMessage();
        const uint32_t error = errorForFailedLoad(fd, text);
        return LoadFailure{error, std::move(text)};
    }
    return SharedLibrary(
        std::move(handle), originalPath,
        FileIdentity{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)});
}

void* SharedLibrary::symbol(const char* name) const {
    if (!handle_ || name == nullptr) {
        return nullptr;
    }
    return ::dlsym(handle_.get(), name);
}

void SharedLibrary::close() {
    handle_.reset();
    if (!loaderName_.empty()) {
        // The name is never reused, so no other module can have taken it
        // between the unload and this check. A module the loader keeps
        // mapped (one with unique symbols is never unloaded) keeps its
        // entry, so that its name stays known.
        (void)moduleTable().release(loaderName_, isLoadedUnder(loaderName_));
        loaderName_.clear();
    }
}

void SharedLibrary::keepLoaded() {
    // The table entry keeps this reference, so the name stays known.
    handle_.release();
    loaderName_.clear();
}

namespace {

// The file the kernel has mapped at `address`, from /proc/self/maps. This
// names a module that another module's loader table knows about only by its
// descriptor name (a core library a host loaded from a verified descriptor);
// empty when the file has been deleted since.
std::string mappedFileContaining(const void* address) {
    const std::vector<Mapping> mappings = currentMappings();
    const Mapping* mapping = mappingAt(mappings, reinterpret_cast<uintptr_t>(address));
    if (mapping == nullptr) {
        return {};
    }
    const std::string& path = mapping->path;
    const bool usable = !path.empty() && path.front() == '/' && !path.ends_with(" (deleted)");
    return usable ? path : std::string();
}

// An address inside each loaded module's first loadable segment.
std::vector<uintptr_t> loadedModuleAddresses() {
    std::vector<uintptr_t> addresses;
    ::dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void* context) {
            auto* collected = static_cast<std::vector<uintptr_t>*>(context);
            for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
                if (info->dlpi_phdr[i].p_type == PT_LOAD) {
                    collected->push_back(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
                    break;
                }
            }
            return 0;
        },
        &addresses);
    return addresses;
}

}  // namespace

std::string modulePathContaining(const void* address) {
    Dl_info info{};
    struct link_map* map = nullptr;
    if (::dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
        map == nullptr || map->l_name == nullptr) {
        return {};
    }
    if (map->l_name[0] == '\0') {
        return executablePath();  // the program itself
    }
    if (!isDescriptorName(map->l_name)) {
        return map->l_name;
    }
    auto loaded = moduleTable().find(map->l_name);
    return loaded ? *loaded : mappedFileContaining(address);
}

bool addressInModule(const void* address, const SharedLibrary& library) {
    if (address == nullptr || !library.valid()) {
        return false;
    }
    Dl_info info{};
    struct link_map* containing = nullptr;
    if (::dladdr1(address, &info, reinterpret_cast<void**>(&containing), RTLD_DL_LINKMAP) == 0) {
        return false;
    }
    return containing != nullptr && containing == linkMapOf(library.handle_.get());
}

bool addressInProgramOrModuleOf(const void* address, const void* anchor) {
    Dl_info info{};
    struct link_map* containing = nullptr;
    struct link_map* anchorModule = nullptr;
    if (::dladdr1(address, &info, reinterpret_cast<void**>(&containing), RTLD_DL_LINKMAP) == 0 ||
        containing == nullptr || containing->l_name == nullptr) {
        return false;
    }
    if (containing->l_name[0] == '\0') {
        return true;  // the program itself
    }
    return ::dladdr1(anchor, &info, reinterpret_cast<void**>(&anchorModule), RTLD_DL_LINKMAP) !=
               0 &&
           anchorModule == containing;
}

namespace {

// Whether `handle` is the loader handle of a module loaded now: with this C
// library a handle is the module's entry in the loader's list of modules.
// The list is walked inside dl_iterate_phdr, which holds the loader's lock,
// so no other thread loads or unloads a module meanwhile.
bool isLoadedModuleHandle(const void* handle) {
    struct Search {
        const void* handle;
        bool found;
    } search{handle, false};
    ::dl_iterate_phdr(
        [](dl_phdr_info*, size_t, void* data) {
            auto* wanted = static_cast<Search*>(data);
            for (const link_map* map = _r_debug.r_map; map != nullptr; map = map->l_next) {
                wanted->found = wanted->found || map == wanted->handle;
            }
            return 1;  // the one walk is enough
        },
        &search);
    return search.found;
}

const link_map* moduleContaining(const void* address) {
    Dl_info info{};
    link_map* containing = nullptr;
    if (::dladdr1(address, &info, reinterpret_cast<void**>(&containing), RTLD_DL_LINKMAP) == 0) {
        return nullptr;
    }
    return containing;
}

}  // namespace

std::optional<std::span<const std::byte>> moduleExportedBlock(void* handle, const char* dataName,
                                                              const char* sizeName) {
    if (handle == nullptr || !isLoadedModuleHandle(handle)) {
        return std::nullopt;
    }
    const auto* data = static_cast<const std::byte*>(::dlsym(handle, dataName));
    const auto* size = static_cast<const uint32_t*>(::dlsym(handle, sizeName));
    if (data == nullptr || size == nullptr || moduleContaining(size) != handle) {
        return std::nullopt;
    }
    const uint32_t length = *size;
    if (length == 0 || moduleContaining(data) != handle ||
        moduleContaining(data + (length - 1)) != handle) {
        return std::nullopt;
    }
    return std::span<const std::byte>(data, length);
}

std::vector<FileIdentity> loadedModuleIds() {
    const std::vector<Mapping> mappings = currentMappings();
    std::vector<FileIdentity> ids;
    for (uintptr_t address : loadedModuleAddresses()) {
        // The kernel's own entry point page has no file behind it.
        if (auto id = mappedFileAt(mappings, address)) {
            ids.push_back(*id);
        }
    }
    return ids;
}

namespace {

// The build id from the module's note segments (read in memory, where the
// loader mapped them); every length is checked against the segment.
std::string buildIdOf(const dl_phdr_info& info) {
    constexpr uint32_t kBuildIdNote = 3;  // NT_GNU_BUILD_ID
    for (size_t i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info.dlpi_phdr[i];
        if (segment.p_type != PT_NOTE) {
            continue;
        }
        const auto* note = reinterpret_cast<const uint8_t*>(info.dlpi_addr + segment.p_vaddr);
        size_t offset = 0;
        const size_t size = segment.p_memsz;
        while (size - offset >= sizeof(ElfW(Nhdr))) {
            ElfW(Nhdr) header;
            std::memcpy(&header, note + offset, sizeof header);
            const size_t nameSize = (static_cast<size_t>(header.n_namesz) + 3) & ~size_t{3};
            const size_t descSize = (static_cast<size_t>(header.n_descsz) + 3) & ~size_t{3};
            offset += sizeof header;
            if (nameSize > size - offset || descSize > size - offset - nameSize) {
                break;
            }
            const auto* name = note + offset;
            const auto* desc = name + nameSize;
            if (header.n_type == kBuildIdNote && header.n_namesz == 4 &&
                std::memcmp(name, "GNU", 4) == 0) {
                static constexpr char kHex[] = "0123456789abcdef";
                std::string hex;
                for (size_t k = 0; k < header.n_descsz; ++k) {
                    hex += kHex[desc[k] >> 4];
                    hex += kHex[desc[k] & 0xF];
                }
                return hex;
            }
            offset += nameSize + descSize;
        }
    }
    return {};
}

}  // namespace

// The walk only copies what the loader reports; names are mapped back to
// original paths afterwards, outside the loader's lock.
std::vector<ModuleImage> loadedModuleImages() {
    std::vector<ModuleImage> images;
    ::dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void* context) {
            auto* collected = static_cast<std::vector<ModuleImage>*>(context);
            ModuleImage image;
            image.path = info->dlpi_name != nullptr ? info->dlpi_name : "";
            image.base = info->dlpi_addr;
            image.start = UINT64_MAX;
            for (size_t i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                if (segment.p_type == PT_LOAD) {
                    const uint64_t low = info->dlpi_addr + segment.p_vaddr;
                    image.start = std::min(image.start, low);
                    image.end = std::max(image.end, low + segment.p_memsz);
                }
            }
            if (image.start == UINT64_MAX) {
                image.start = 0;
            }
            image.buildId = buildIdOf(*info);
            collected->push_back(std::move(image));
            return 0;
        },
        &images);
    for (ModuleImage& image : images) {
        if (image.path.empty()) {
            image.path = executablePath();
        } else if (isDescriptorName(image.path.c_str())) {
            if (auto loaded = moduleTable().find(image.path)) {
                image.path = *loaded;
            }
        }
    }
    return images;
}

}  // namespace holm::platform

// Shared libraries loaded at run time.
//
// The loader knows a library opened through a descriptor only as
// "/proc/self/fd/N", and treats any later load of the same device and inode,
// under any name, as the same module. So every `SharedLibrary` keeps the path
// it was opened by, and a process-wide table maps modules loaded through a
// descriptor back to that path and identity. The free functions and
// distinct `SharedLibrary` objects may be used from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_identity.h"
#include "platform/result.h"
#include "platform/unique_handle.h"

namespace holm::platform {

// Handles returned by the dynamic loader.
struct LibraryTraits {
    using Handle = void*;
    static constexpr void* invalid() noexcept { return nullptr; }
    static void close(void* handle) noexcept;
};
using UniqueLibrary = UniqueHandle<LibraryTraits>;

// Why a library did not load: the Windows number the system reports for the
// failure, and the loader's explanation (empty when the loader was not
// reached, e.g. for an empty path).
struct LoadFailure {
    uint32_t windowsError = 0;
    std::string message;
};

class SharedLibrary;
using LoadResult = Result<SharedLibrary, LoadFailure>;

class SharedLibrary {
  public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(SharedLibrary&& other) noexcept { *this = std::move(other); }
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;

    // Loads the library at `path` with every symbol resolved now and nothing
    // exported to later loads. Fails with 126 file or dependency missing, 193
    // not a loadable library, 127 unresolved symbol, 5 not a readable regular
    // file, 87 empty path.
    static LoadResult open(const std::string& path);

    // Loads the file open on `fd` (through "/proc/self/fd/N"), so that what
    // was verified on that descriptor is exactly what is loaded. The caller
    // keeps ownership of `fd`; it may be closed once this returns.
    // `originalPath` is the name reported for the module from then on. Fails
    // as `open` does, and with 6 for a descriptor that is not open.
    static LoadResult openDescriptor(int fd, const std::string& originalPath);

    // Loads a library of the system by its bare file name, found by the
    // system's own search of its library directories: on Linux the dynamic
    // loader's search for a soname (the system's library directories, which
    // only root can write). Windows gives the product no such search: a
    // library the product loads is a file of the product directory, verified
    // and loaded from its descriptor, and a search by name would look in the
    // current directory and PATH as well, so this fails there with 126.
    // Fails with 87 for an empty name or one with a directory part, and
    // otherwise as `open` does.
    static LoadResult openSystemLibrary(const std::string& fileName);

    bool valid() const noexcept { return handle_.valid(); }
    explicit operator bool() const noexcept { return valid(); }

    // The address of an exported symbol, or nullptr.
    void* symbol(const char* name) const;

    // The path the library was opened by (as given by the caller).
    const std::string& path() const noexcept { return path_; }

    // Device and inode of the file the kernel has mapped for the module.
    FileIdentity id() const noexcept { return id_; }

    // Releases this reference; the loader unmaps the library when no
    // reference is left.
    void close();

    // Gives up this reference without ever unloading the library (for a
    // library whose code may still be on a stack, e.g. after a fault in it).
    // Its name stays known to `modulePathContaining`.
    void keepLoaded();

  private:
    friend bool addressInModule(const void* address, const SharedLibrary& library);

    // Takes over a loaded handle and records it in the process-wide table.
    // `file`: the loaded file's identity when the caller knows it (a load
    // through a descriptor); otherwise it is looked up in the mappings.
    SharedLibrary(UniqueLibrary handle, const std::string& path,
                  std::optional<FileIdentity> file = std::nullopt);

    UniqueLibrary handle_;
    std::string path_;
    FileIdentity id_;
    // The loader's name for a module loaded through a descriptor: this
    // object holds a reference in the process-wide table under it.
    std::string loaderName_;
};

// The path of the module containing `address` (the original path for
// libraries loaded through a descriptor, the executable's path for the
// program itself); empty when no module contains it.
std::string modulePathContaining(const void* address);

// Whether `address` lies in a segment the loader mapped for `library` (its
// code, data or read-only data, e.g. an object's vtable or type information).
bool addressInModule(const void* address, const SharedLibrary& library);

// Whether `address` lies in the program's executable or in the module that
// contains `anchor`: modules that stay mapped for as long as the code at
// `anchor` can run, so that nothing else is ever loaded at `address`.
bool addressInProgramOrModuleOf(const void* address, const void* anchor);

// The block of data a loaded module exports: the bytes at its symbol
// `dataName`, as many as its 32-bit symbol `sizeName` says. Nothing when
// `handle` is not the loader handle of a module loaded now (any other value
// is refused without being followed), when either symbol is missing, or when
// the block does not lie inside that module.
std::optional<std::span<const std::byte>> moduleExportedBlock(void* handle, const char* dataName,
                                                              const char* sizeName);

// The identities of every module currently loaded in the process (the
// program, the libraries and the modules loaded at run time), each taken from
// the kernel's report of the file mapped at the module's address: a name
// looked up now may point to another file than the one loaded under it.
std::vector<FileIdentity> loadedModuleIds();

// Whether a module with this identity is loaded.
bool isModuleLoaded(FileIdentity id);

// Where a loaded module lies, for reports that map code addresses back to
// files (crash reports).
struct ModuleImage {
    // The original path (see modulePathContaining), the program's own path,
    // or the loader's name for a module without a file (the kernel's
    // entry-point page).
    std::string path;
    // The load bias: an address in the module minus `base` is the address in
    // the file, as `addr2line -e <path>` expects it.
    uint64_t base = 0;
    // The range the module's loadable segments cover.
    uint64_t start = 0;
    uint64_t end = 0;
    // The module's build id in hexadecimal, empty when it has none.
    std::string buildId;
};

// Every module loaded now, in the loader's order (the program first).
std::vector<ModuleImage> loadedModuleImages();

}  // namespace holm::platform

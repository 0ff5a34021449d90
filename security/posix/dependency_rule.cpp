#include "security/dependency_rule.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <utility>

#include "common/path_parts.h"
#include "platform/file_system.h"
#include "platform/io.h"
#include "platform/process_info.h"
#include "platform/unique_handle.h"
#include "security/verified_file.h"

namespace holm::security {
namespace {

// The directories the loader searches last, in its order.
constexpr const char* kLoaderDefaultDirectories[] = {
    "/lib/x86_64-linux-gnu",
    "/usr/lib/x86_64-linux-gnu",
    "/lib",
    "/usr/lib",
};

// Subdirectories the loader tries before a directory itself, best first.
constexpr const char* kCapabilityDirectories[] = {
    "glibc-hwcaps/x86-64-v4",
    "glibc-hwcaps/x86-64-v3",
    "glibc-hwcaps/x86-64-v2",
};
// The older scheme: any ordered selection of these, nested.
constexpr const char* kLegacyCapabilities[] = {"tls", "haswell", "avx512_1", "x86_64"};

constexpr const char* kLoaderCache = "/etc/ld.so.cache";
constexpr size_t kMaxCacheSize = 64u * 1024 * 1024;
constexpr size_t kMaxFilesChecked = 4096;

constexpr uint32_t kGroupOrOthersWrite = 022;
constexpr uint32_t kStickyBit = 01000;

std::string directoryOf(const std::string& path) {
    return std::string(common::directoryOf(path));
}

std::string joined(std::string directory, const std::string& name) {
    while (directory.size() > 1 && directory.back() == '/') {
        directory.pop_back();
    }
    return directory == "/" ? "/" + name : directory + "/" + name;
}

// The loader's cache: library names and the paths it maps them to, for
// this processor's 64-bit libraries.
class LoaderCache {
  public:
    LoaderCache() {
        auto content = platform::io::readSmallFile(kLoaderCache, kMaxCacheSize);
        if (content) {
            bytes_ = std::move(*content);
        }
    }

    // The paths the cache gives for `name`, in its order (none when the
    // cache is absent or malformed: the loader then does not use it).
    std::vector<std::string> lookup(const std::string& name) const {
        static constexpr char kMagic[] = "glibc-ld.so.cache1.1";
        constexpr size_t kHeaderSize = 48;
        constexpr size_t kEntrySize = 24;
        constexpr int32_t kFlags64BitLibc6 = 0x0303;  // FLAG_ELF_LIBC6 | FLAG_X8664_LIB64
        std::vector<std::string> paths;
        const size_t base = bytes_.find(kMagic);
        if (base == std::string::npos || bytes_.size() - base < kHeaderSize) {
            return paths;
        }
        uint32_t count = 0;
        std::memcpy(&count, bytes_.data() + base + 20, sizeof count);
        if (count > (bytes_.size() - base - kHeaderSize) / kEntrySize) {
            return paths;
        }
        for (uint32_t i = 0; i < count; ++i) {
            const char* entry = bytes_.data() + base + kHeaderSize + size_t{i} * kEntrySize;
            int32_t flags = 0;
            uint32_t key = 0;
            uint32_t value = 0;
            std::memcpy(&flags, entry, sizeof flags);
            std::memcpy(&key, entry + 4, sizeof key);
            std::memcpy(&value, entry + 8, sizeof value);
            const auto keyText = stringAt(base, key);
            if (flags == kFlags64BitLibc6 && keyText && *keyText == name) {
                if (const auto path = stringAt(base, value)) {
                    paths.emplace_back(*path);
                }
            }
        }
        return paths;
    }

  private:
    std::optional<std::string_view> stringAt(size_t base, uint32_t offset) const {
        if (offset >= bytes_.size() - base) {
            return std::nullopt;
        }
        const std::string_view rest(bytes_.data() + base + offset, bytes_.size() - base - offset);
        const size_t end = rest.find('\0');
        return end == std::string_view::npos ? std::nullopt : std::optional(rest.substr(0, end));
    }

    std::string bytes_;
};

// The run path of the program itself, which the loader searches for every
// dependency of an object without a DT_RUNPATH of its own.
const std::vector<std::string>& programRunPath() {
    static const std::vector<std::string> entries = [] {
        std::vector<std::string> found;
        auto fd = platform::openForReading(platform::executablePath());
        const auto info = fd ? platform::statDescriptor(fd->get()) : platform::lastSystemError();
        if (!info) {
            return found;
        }
        const auto requests = readLibraryRequests(DescriptorBytes(fd->get(), info->size));
        if (requests && !requests->runPath && requests->rPath) {
            found = runPathEntries(*requests->rPath);
        }
        return found;
    }();
    return entries;
}

std::vector<std::string> environmentSearchPath() {
    std::vector<std::string> entries;
    const char* value = std::getenv("LD_LIBRARY_PATH");
    if (value == nullptr) {
        return entries;
    }
    const std::string text = value;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find_first_of(":;", start);
        if (end != start && start < text.size()) {
            entries.push_back(text.substr(start, end - start));
        }
        if (end == std::string::npos) {
            return entries;
        }
        start = end + 1;
    }
}

// One file the loader maps: where it was found and what it asks for.
struct MappedObject {
    std::string path;
    std::string shownAs;  // how a refusal names it
    LibraryRequests requests;
    bool systemLibrary = false;
};

// A file found and accepted, open for reading its own requests.
struct AcceptedFile {
    std::optional<VerifiedFile> verified;  // a signed one
    platform::UniqueFd fd;                 // a system library
    int descriptor() const { return verified ? verified->descriptor() : fd.get(); }
    platform::FileIdentity identity;
    uint64_t size = 0;
    bool systemLibrary = false;
};

class DependencyWalk {
  public:
    DependencyWalk(const DependencyRule& rule, bool checking)
        : rule_(rule), checking_(checking), environment_(environmentSearchPath()) {
        for (const std::string& directory : rule.systemDirectories) {
            systemDirectories_.push_back(directory);
            if (const auto resolved = platform::resolvedPath(directory)) {
                systemDirectories_.push_back(*resolved);
            }
        }
    }

    DependencyCheck run(MappedObject top, const platform::FileIdentity& topIdentity) {
        seen_.insert({topIdentity.device, topIdentity.inode});
        if (checking_ && rule_.program && top.requests.interpreter) {
            if (auto why = systemLibraryRefusal(*top.requests.interpreter, nullptr)) {
                result_.refusal =
                    "its program interpreter " + quotedName(*top.requests.interpreter) + " " + *why;
                return std::move(result_);
            }
        }
        std::deque<MappedObject> queue;
        queue.push_back(std::move(top));
        while (!queue.empty() && !result_.refusal) {
            MappedObject object = std::move(queue.front());
            queue.pop_front();
            for (const std::string& directory : inheritedRunPath(object)) {
                chainRunPath_.push_back(directory);
            }
            visit(object, queue);
        }
        return std::move(result_);
    }

  private:
    // DT_RPATH entries of an object without DT_RUNPATH: searched for its own
    // dependencies and for theirs.
    static std::vector<std::string> inheritedRunPath(const MappedObject& object) {
        if (object.requests.runPath || !object.requests.rPath) {
            return {};
        }
        return runPathEntries(*object.requests.rPath);
    }

    // Resolves and checks what `object` asks for. A missing auxiliary
    // library maps nothing, and neither does any other missing name.
    void visit(const MappedObject& object, std::deque<MappedObject>& queue) {
        for (const auto* names :
             {&object.requests.needed, &object.requests.filters, &object.requests.auxiliary}) {
            for (const std::string& name : *names) {
                if (result_.refusal) {
                    return;
                }
                resolve(object, name, queue);
            }
        }
    }

    // The directories searched on behalf of `object`, in order.
    std::optional<std::vector<std::string>> searchPath(const MappedObject& object) {
        std::vector<std::string> raw;
        if (!object.requests.runPath) {
            // Its own DT_RPATH came first into the chain.
            raw.insert(raw.end(), chainRunPath_.begin(), chainRunPath_.end());
            raw.insert(raw.end(), programRunPath().begin(), programRunPath().end());
        }
        raw.insert(raw.end(), environment_.begin(), environment_.end());
        if (object.requests.runPath) {
            const auto entries = runPathEntries(*object.requests.runPath);
            raw.insert(raw.end(), entries.begin(), entries.end());
        }
        std::vector<std::string> directories;
        for (std::string entry : raw) {
            for (const char* origin : {"${ORIGIN}", "$ORIGIN"}) {
                if (entry.starts_with(origin) && object.systemLibrary) {
                    entry = directoryOf(object.path) + entry.substr(std::strlen(origin));
                }
            }
            if (entry.empty() || entry.front() != '/' || entry.find('$') != std::string::npos) {
                if (checking_) {
                    result_.refusal = object.shownAs + "its run path names " + quotedName(entry) +
                                      ", which the dependency check cannot follow";
                    return std::nullopt;
                }
                continue;
            }
            directories.push_back(std::move(entry));
        }
        return directories;
    }

    // Every existing file the loader might take for `name` in `directory`:
    // the capability subdirectories first, then the directory itself.
    static void candidatesIn(const std::string& directory, const std::string& name,
                             std::vector<std::string>& out) {
        for (const char* capability : kCapabilityDirectories) {
            addIfFile(joined(joined(directory, capability), name), out);
        }
        legacyCandidates(directory, 0, name, out);
        addIfFile(joined(directory, name), out);
    }

    static void legacyCandidates(const std::string& directory, size_t from, const std::string& name,
                                 std::vector<std::string>& out) {
        for (size_t i = from; i < std::size(kLegacyCapabilities); ++i) {
            const std::string nested = joined(directory, kLegacyCapabilities[i]);
            if (platform::isDirectory(nested)) {
                legacyCandidates(nested, i + 1, name, out);
                addIfFile(joined(nested, name), out);
            }
        }
    }

    static void addIfFile(const std::string& path, std::vector<std::string>& out) {
        if (platform::pathExists(path) && std::find(out.begin(), out.end(), path) == out.end()) {
            out.push_back(path);
        }
    }

    void resolve(const MappedObject& object, const std::string& name,
                 std::deque<MappedObject>& queue) {
        std::vector<std::string> candidates;
        if (name.find('/') != std::string::npos) {
            // By path: no search. Only a system library gets this far with
            // such a name; anything else was refused for it already.
            addIfFile(name, candidates);
        } else {
            const auto directories = searchPath(object);
            if (!directories) {
                return;
            }
            for (const std::string& directory : *directories) {
                candidatesIn(directory, name, candidates);
            }
            if (!object.requests.noDefaultDirectories) {
                for (const std::string& path : cache_.lookup(name)) {
                    addIfFile(path, candidates);
                }
                for (const char* directory : kLoaderDefaultDirectories) {
                    candidatesIn(directory, name, candidates);
                }
            }
        }
        // Nothing found maps nothing: the loader then fails, or takes a
        // module of that name it has loaded already.
        bool first = true;
        for (const std::string& candidate : candidates) {
            if (result_.refusal || !take(object, name, candidate, first, queue)) {
                return;
            }
            first = false;
        }
    }

    // Checks one candidate and queues it for its own dependencies; false
    // when it was refused (or cannot be read) and the walk ends.
    bool take(const MappedObject& object, const std::string& name, const std::string& candidate,
              bool first, std::deque<MappedObject>& queue) {
        const std::string shownAs =
            object.shownAs + "its dependency " + quotedName(name) + " (" + candidate + "): ";
        auto accepted = accept(candidate);
        if (!accepted) {
            if (checking_) {
                result_.refusal = shownAs + accepted.error();
            }
            return !checking_;
        }
        if (++checked_ > kMaxFilesChecked) {
            result_.refusal = object.shownAs + "it pulls in too many libraries";
            return false;
        }
        const bool newFile =
            seen_.insert({accepted->identity.device, accepted->identity.inode}).second;
        if (first && newFile) {
            result_.mapped.push_back(candidate);
        }
        if (!newFile) {
            return true;
        }
        auto requests =
            readLibraryRequests(DescriptorBytes(accepted->descriptor(), accepted->size));
        if (!requests) {
            if (checking_) {
                result_.refusal = shownAs + requests.error();
            }
            return !checking_;
        }
        if (checking_) {
            // A signed library keeps the rules of a library the host loads;
            // a system library is root's, only what it pulls in is checked.
            auto why =
                accepted->systemLibrary
                    ? (requests->audit.empty() ? std::nullopt
                                               : std::optional<std::string>(
                                                     "it asks the loader for the audit library " +
                                                     quotedName(requests->audit.front())))
                    : requestRefusal(*requests, rule_.systemDirectories);
            if (why) {
                result_.refusal = shownAs + *why;
                return false;
            }
        }
        queue.push_back({candidate, shownAs, std::move(*requests), accepted->systemLibrary});
        return true;
    }

    // The candidate opened for reading, when it keeps the rule (or when
    // only resolving); why not, otherwise.
    platform::Result<AcceptedFile, std::string> accept(const std::string& candidate) {
        AcceptedFile file;
        std::optional<std::string> systemWhy;
        if (checking_) {
            systemWhy = systemLibraryRefusal(candidate, &file);
        } else {
            systemWhy = openResolved(candidate, file);
        }
        if (!systemWhy) {
            file.systemLibrary = true;
            return file;
        }
        if (!checking_) {
            return *systemWhy;
        }
        VerifiedFile verified = VerifiedFile::open(
            candidate, rule_.trust ? *rule_.trust : TrustStore::system(), rule_.role);
        if (verified.reason() != Reason::Verified) {
            return "it is neither a root-owned library of a system library directory (" +
                   *systemWhy + ") nor signed for this role (" +
                   std::string(describe(verified.reason())) + ")";
        }
        file.identity = verified.identity();
        file.size = verified.size();
        file.verified.emplace(std::move(verified));
        return file;
    }

    // Opens what `path` names (links followed) for reading.
    static std::optional<std::string> openResolved(const std::string& path, AcceptedFile& file) {
        const auto real = platform::resolvedPath(path);
        auto fd = real ? platform::openForReading(*real) : platform::lastSystemError();
        const auto info = fd ? platform::statDescriptor(fd->get()) : platform::lastSystemError();
        if (!real || !fd || !info || info->type != platform::FileType::kRegular) {
            return "it cannot be opened as a regular file";
        }
        file.fd = std::move(*fd);
        file.identity = {info->device, info->inode};
        file.size = info->size;
        return std::nullopt;
    }

    // Why `path` is not a root-owned library of a system library directory
    // that only root can change; nothing when it is (and `file`, if given,
    // is then open on it).
    std::optional<std::string> systemLibraryRefusal(const std::string& path, AcceptedFile* file) {
        const auto real = platform::resolvedPath(path);
        if (!real) {
            return "it cannot be resolved";
        }
        if (!isInSystemDirectory(directoryOf(*real), systemDirectories_)) {
            return "it lies in " + quotedName(directoryOf(*real)) +
                   ", which is not a system library directory";
        }
        for (const std::string& directory : {directoryOf(*real), directoryOf(path)}) {
            if (auto why = directoryChainRefusal(directory)) {
                return why;
            }
        }
        AcceptedFile opened;
        if (auto why = openResolved(*real, opened)) {
            return why;
        }
        const auto info = platform::statDescriptor(opened.fd.get());
        if (!info || info->uid != 0) {
            return std::string("it is not owned by root");
        }
        if ((info->mode & kGroupOrOthersWrite) != 0) {
            return std::string("it is writable by group or others");
        }
        if (file != nullptr) {
            *file = std::move(opened);
        }
        return std::nullopt;
    }

    // Every directory from the root down to `directory` must be root's and
    // not writable by group or others; one above the last may be writable
    // by all with the sticky bit (/tmp), which lets no one replace entries of
    // a directory they do not own.
    static std::optional<std::string> directoryChainRefusal(const std::string& directory) {
        const auto real = platform::resolvedPath(directory);
        if (!real) {
            return "its directory " + quotedName(directory) + " cannot be resolved";
        }
        std::string prefix;
        size_t at = 0;
        for (;;) {
            const size_t next = real->find('/', at + 1);
            prefix = next == std::string::npos ? *real : real->substr(0, next);
            const std::string shown = prefix.empty() ? "/" : prefix;
            const auto info = platform::statPath(shown);
            const bool last = next == std::string::npos;
            if (!info || info->uid != 0) {
                return "the directory " + quotedName(shown) + " is not owned by root";
            }
            if ((info->mode & kGroupOrOthersWrite) != 0 &&
                (last || (info->mode & kStickyBit) == 0)) {
                return "the directory " + quotedName(shown) + " is writable by group or others";
            }
            if (last) {
                return std::nullopt;
            }
            at = next;
        }
    }

    const DependencyRule& rule_;
    const bool checking_;
    const std::vector<std::string> environment_;
    DirectoryList systemDirectories_;
    LoaderCache cache_;
    std::vector<std::string> chainRunPath_;
    std::set<std::pair<uint64_t, uint64_t>> seen_;
    size_t checked_ = 0;
    DependencyCheck result_;
};

}  // namespace

DependencyCheck checkDependencies(const VerifiedFile& library, const DependencyRule& rule) {
    DependencyCheck check;
    const auto requests =
        readLibraryRequests(DescriptorBytes(library.descriptor(), library.size()));
    if (!requests) {
        check.refusal = requests.error();
        return check;
    }
    if (auto why = requestRefusal(*requests, rule.systemDirectories)) {
        check.refusal = std::move(why);
        return check;
    }
    return DependencyWalk(rule, true)
        .run({library.path(), "", *requests, false}, library.identity());
}

std::vector<std::string> resolveDependencies(const std::string& path, const DependencyRule& rule) {
    auto fd = platform::openForReading(path);
    const auto info = fd ? platform::statDescriptor(fd->get()) : platform::lastSystemError();
    if (!info) {
        return {};
    }
    const auto requests = readLibraryRequests(DescriptorBytes(fd->get(), info->size));
    if (!requests) {
        return {};
    }
    return DependencyWalk(rule, false)
        .run({path, "", *requests, false}, {info->device, info->inode})
        .mapped;
}

}  // namespace holm::security

// The dependency rule: every file the dynamic loader maps while a library of
// the host loads (or while a program the host starts begins) is either
// signed by a key its role admits, or a root-owned library in a system
// library directory that no other user can write, nor any directory on its
// way.
//
// The names a library asks for (security/library_dependencies.h) are
// resolved as the loader resolves them: the run path (DT_RPATH of the
// library and of those that asked for it, unless it has a DT_RUNPATH; the
// program's own DT_RPATH), LD_LIBRARY_PATH, DT_RUNPATH, the loader's cache
// (/etc/ld.so.cache), the default directories, each directory with its
// hardware-capability subdirectories. Every existing candidate is checked,
// not only the first, so a candidate the loader prefers on this processor
// is never one the check skipped. Each accepted file is read in turn, down
// to the last dependency of a dependency.
//
// That is the Linux rule (security/posix/). On Windows (security/win/) the
// host loads libraries so that their DLLs come from the application directory
// and the system directory only; a DLL a library asks for that lies in the
// application directory must be signed for the library's role, and is read
// in turn; the rest is the system's.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"
#include "security/library_dependencies.h"
#include "security/trust_store.h"
#include "security/verified_file.h"

namespace holm::security {

struct DependencyRule {
    // The keys a signed dependency may be signed with; null means
    // TrustStore::system().
    const TrustStore* trust = nullptr;
    // The role of the library or program checked; its dependencies need a
    // signature of the same role.
    FileRole role = FileRole::Plugin;
    // Where root-owned libraries without a signature may come from, and what
    // run paths may name.
    DirectoryList systemDirectories = systemLibraryDirectories();
    // A program to be started: its program interpreter is mapped too.
    bool program = false;
};

struct DependencyCheck {
    // Why the library breaks the rule, or nothing when it keeps it.
    std::optional<std::string> refusal;
    // The files the loader maps for it, beside the library itself, in the
    // order the loader finds them, named as the loader names them ("<the
    // directory searched>/<name>"); up to the refused one.
    std::vector<std::string> mapped;
};

// Checks what loading `library` (verified, and open) maps: the library's
// own rules first (see dependencyRefusal), then every dependency.
DependencyCheck checkDependencies(const VerifiedFile& library, const DependencyRule& rule);

// A program the host starts by name: verified as a product file (the
// product key alone), and what the loader maps for it, its program
// interpreter included, kept to the rule (`rule.role` and `rule.program` are
// set here). The verified file, to be started from its descriptor, or why
// it is refused.
platform::Result<VerifiedFile, std::string> verifyProgram(const std::string& path,
                                                          DependencyRule rule);

// What the loader would map for the library at `path`, found the same way
// but not checked: to compare with the loader itself.
std::vector<std::string> resolveDependencies(const std::string& path, const DependencyRule& rule);

}  // namespace holm::security

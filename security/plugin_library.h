// The check a plugin library of either generation passes before it is
// loaded.
#pragma once

#include <optional>
#include <string>

#include "security/library_dependencies.h"
#include "security/verified_file.h"

namespace holm::security {

// Its signature (product key or an enrolled key; the product key alone for a
// product file) and the dependency rule, with root-owned libraries accepted
// from `systemLibraries`. The verified file on success (load it from its
// descriptor), else nothing with `why` set.
std::optional<VerifiedFile> verifyPluginLibrary(
    const std::string& path, const std::string& productDirectory, std::string& why,
    LoadedModuleQuery isLoaded = isLoadedModule,
    const DirectoryList& systemLibraries = systemLibraryDirectories());

}  // namespace holm::security

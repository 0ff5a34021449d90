// The check a plugin library of either generation passes before it is
// loaded.
#pragma once

#include <string>

#include "platform/result.h"
#include "security/library_dependencies.h"
#include "security/verified_file.h"

namespace holm::security {

// Its signature (product key or an enrolled key; the product key alone for a
// product file) and the dependency rule, with root-owned libraries accepted
// from `systemLibraries`. The verified file (load it from its descriptor), or
// why it was refused.
platform::Result<VerifiedFile, std::string> verifyPluginLibrary(
    const std::string& path, const std::string& productDirectory,
    LoadedModuleQuery isLoaded = isLoadedModule,
    const DirectoryList& systemLibraries = systemLibraryDirectories());

}  // namespace holm::security

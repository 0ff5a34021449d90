#include "security/plugin_library.h"

#include <utility>

#include "security/dependency_rule.h"
#include "security/product_files.h"

namespace holm::security {

platform::Result<VerifiedFile, std::string> verifyPluginLibrary(
    const std::string& path, const std::string& productDirectory, LoadedModuleQuery isLoaded,
    const DirectoryList& systemLibraries) {
    SelftestContext selftestContext;
    selftestContext.productDirectory = productDirectory;
    selftestContext.role = FileRole::Plugin;
    selftestContext.isLoaded = std::move(isLoaded);
    VerifiedFile verified =
        selftest(path, UnsignedFiles::Refuse, LoadedFiles::Accept, selftestContext);
    if (!verified.passed()) {
        return verified.message();
    }
    DependencyRule rule;
    rule.role = roleOfFile(verified.path(), productDirectory, FileRole::Plugin);
    rule.systemDirectories = systemLibraries;
    if (auto refusal = checkDependencies(verified, rule).refusal) {
        return verified.path() + ": " + *refusal;
    }
    return verified;
}

}  // namespace holm::security

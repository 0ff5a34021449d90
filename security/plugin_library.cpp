#include "security/plugin_library.h"

#include <utility>

#include "security/dependency_rule.h"
#include "security/product_files.h"

namespace holm::security {

std::optional<VerifiedFile> verifyPluginLibrary(const std::string& path,
                                                const std::string& productDirectory,
                                                std::string& why, LoadedModuleQuery isLoaded,
                                                const DirectoryList& systemLibraries) {
    SelftestContext selftestContext;
    selftestContext.productDirectory = productDirectory;
    selftestContext.role = FileRole::Plugin;
    selftestContext.isLoaded = std::move(isLoaded);
    VerifiedFile verified =
        selftest(path, UnsignedFiles::Refuse, LoadedFiles::Accept, selftestContext);
    if (!verified.passed()) {
        why = verified.message();
        return std::nullopt;
    }
    DependencyRule rule;
    rule.role = roleOfFile(verified.path(), productDirectory, FileRole::Plugin);
    rule.systemDirectories = systemLibraries;
    if (auto refusal = checkDependencies(verified, rule).refusal) {
        why = verified.path() + ": " + *refusal;
        return std::nullopt;
    }
    return verified;
}

}  // namespace holm::security

#include "security/dependency_rule.h"

namespace holm::security {

platform::Result<VerifiedFile, std::string> verifyProgram(const std::string& path,
                                                          DependencyRule rule) {
    rule.role = FileRole::Product;
    rule.program = true;
    VerifiedFile program =
        VerifiedFile::open(path, rule.trust ? *rule.trust : TrustStore::system(), rule.role);
    if (!program.passed()) {
        return program.message();
    }
    if (auto refusal = checkDependencies(program, rule).refusal) {
        return path + ": " + *refusal;
    }
    return program;
}

}  // namespace holm::security

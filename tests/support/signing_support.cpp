#include "support/signing_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "security/signing.h"

namespace holm::test {

const security::PrivateKey& productSigningKey() {
    static const security::PrivateKey key = [] {
        std::string text;
        std::string error;
        if (!security::readKeyFile(HOLM_DEVELOPMENT_KEY, text, error)) {
            ADD_FAILURE() << HOLM_DEVELOPMENT_KEY << ": " << error;
            std::abort();
        }
        return *security::PrivateKey::fromPem(text);
    }();
    return key;
}

const security::PrivateKey& authorSigningKey() {
    static const security::PrivateKey key = *security::PrivateKey::generate();
    return key;
}

void signFileWith(const std::filesystem::path& file, const security::PrivateKey& key) {
    std::string error;
    const auto signature = security::signFile(file.string(), key, error);
    ASSERT_TRUE(signature) << file << ": " << error;
    ASSERT_TRUE(security::writeSignatureFile(file.string(), *signature, error)) << error;
}

}  // namespace holm::test

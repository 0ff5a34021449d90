#include "support/signing_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "security/signing.h"

namespace holm::test {

const security::PrivateKey& productSigningKey() {
    static const security::PrivateKey key = [] {
        const auto text = security::readKeyFile(HOLM_DEVELOPMENT_KEY);
        if (!text) {
            ADD_FAILURE() << HOLM_DEVELOPMENT_KEY << ": " << text.error().message;
            std::abort();
        }
        return *security::PrivateKey::fromPem(*text);
    }();
    return key;
}

const security::PrivateKey& authorSigningKey() {
    static const security::PrivateKey key = *security::PrivateKey::generate();
    return key;
}

void signFileWith(const std::filesystem::path& file, const security::PrivateKey& key) {
    const auto signature = security::signFile(file.string(), key);
    ASSERT_TRUE(signature) << file << ": " << signature.error().message;
    const auto written = security::writeSignatureFile(file.string(), *signature);
    ASSERT_TRUE(written) << written.error().message;
}

}  // namespace holm::test

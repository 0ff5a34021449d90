// Signing files in tests: with the build's development key (the product key
// compiled into this build) or with a key of the test's own, which a test
// trusts as an enrolled key.
#pragma once

#include <filesystem>

#include "security/crypto.h"

namespace holm::test {

// The build's development key, whose public half is the product key.
const security::PrivateKey& productSigningKey();

// A key made once per test program, standing for a plugin author's key.
const security::PrivateKey& authorSigningKey();

// Writes `<file>.sig` for `file` signed with `key`; fails the test on error.
void signFileWith(const std::filesystem::path& file, const security::PrivateKey& key);

}  // namespace holm::test

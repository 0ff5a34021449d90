// Making signatures: what the signing tool and the tests use. The host itself
// never signs.
#pragma once

#include <optional>
#include <string>

#include "security/crypto.h"
#include "security/signature_file.h"

namespace holm::security {

// Signs the regular file at `path` (a symbolic link is refused) over its base
// name, size and SHA-256. On failure returns nothing and sets `error`.
std::optional<SignatureFile> signFile(const std::string& path, const PrivateKey& key,
                                      std::string& error);

// Writes `<path>.sig`, replacing an older signature in one step (a new file
// renamed over it). False with `error` on failure.
bool writeSignatureFile(const std::string& path, const SignatureFile& signature,
                        std::string& error);

// Reads a key file of at most kMaxKeyFileSize bytes (not following a symbolic
// link). False with `error` on failure.
bool readKeyFile(const std::string& path, std::string& text, std::string& error);

}  // namespace holm::security

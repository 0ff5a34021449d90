// Making signatures: what the signing tool and the tests use. The host itself
// never signs.
#pragma once

#include <string>

#include "platform/result.h"
#include "security/crypto.h"
#include "security/signature_file.h"

namespace holm::security {

// Why signing, writing a signature or reading a key failed, as a sentence
// for the signing tool's user (it names the file when the caller would not).
struct SigningError {
    std::string message;
};

// Signs the regular file at `path` (a symbolic link is refused) over its base
// name, size and SHA-256.
platform::Result<SignatureFile, SigningError> signFile(const std::string& path,
                                                       const PrivateKey& key);

// Writes `<path>.sig`, replacing an older signature in one step (a new file
// renamed over it).
platform::Result<void, SigningError> writeSignatureFile(const std::string& path,
                                                        const SignatureFile& signature);

// Reads the text of a key file of at most kMaxKeyFileSize bytes (not
// following a symbolic link).
platform::Result<std::string, SigningError> readKeyFile(const std::string& path);

}  // namespace holm::security

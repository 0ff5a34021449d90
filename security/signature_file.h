// The detached signature file `<file>.sig`, version 1: six lines of text
//
//   holm-signature 1
//   key-id <16 hex digits: first 8 bytes of SHA-256 of the public key>
//   name <base name of the signed file>
//   size <size in bytes, decimal>
//   sha256 <64 hex digits>
//   ed25519 <128 hex digits: the signature>
//
// each ending in a line feed, hex in lower case, nothing else. The Ed25519
// signature covers a binary record of a magic, the name, the size and the
// digest (signedMessage), so a signed file cannot stand in for another one,
// and the signature stays valid wherever the file is installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "security/crypto.h"
#include "security/reason.h"

namespace holm::security {

inline constexpr size_t kMaxSignatureFileSize = 4096;
inline constexpr size_t kMaxSignedNameLength = 255;
inline constexpr std::string_view kSignatureSuffix = ".sig";

// What a signature vouches for.
struct SignedRecord {
    std::string name;  // base name only
    uint64_t size = 0;
    Digest digest{};

    bool operator==(const SignedRecord&) const = default;
};

struct SignatureFile {
    KeyId keyId{};
    SignedRecord record;
    SignatureBytes signature{};
};

// A base name a signature may carry: 1 to 255 bytes, no '/', no control
// characters, not "." or "..".
bool isSignableName(std::string_view name);

// The bytes the Ed25519 signature covers.
std::vector<uint8_t> signedMessage(const SignedRecord& record);

SignatureFile signRecord(const SignedRecord& record, const PrivateKey& key);

std::string formatSignatureFile(const SignatureFile& signature);

// Parses the text of a signature file. Fails with SignatureTooLarge,
// UnsupportedSignatureVersion or BadSignatureFormat.
platform::Result<SignatureFile, Reason> parseSignatureFile(std::string_view text);

}  // namespace holm::security

// The cryptography of file signatures: SHA-256 and Ed25519 keys. The
// backend is OpenSSL's libcrypto on Linux (security/posix/) and libgcrypt on
// Windows (security/win/); both give the same digests, keys, PEM texts and
// signatures, so a file signed on one system verifies on the other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace holm::security {

using Digest = std::array<uint8_t, 32>;        // SHA-256
using KeyId = std::array<uint8_t, 8>;          // first 8 bytes of SHA-256 of the public key
using RawPublicKey = std::array<uint8_t, 32>;  // Ed25519 public key
using SignatureBytes = std::array<uint8_t, 64>;

Digest sha256(std::span<const uint8_t> data);

// SHA-256 over data given in pieces.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::span<const uint8_t> data);
    // The digest of everything given; empty when the library failed at any
    // step (or the digest was already taken).
    std::optional<Digest> finish();

  private:
    struct State;
    std::unique_ptr<State> state_;
    bool failed_ = false;  // a step failed, or finish() was called
};

// The SHA-256 of a file and the number of bytes it was taken over.
struct FileDigest {
    Digest digest{};
    uint64_t size = 0;
};

// SHA-256 of everything readable from `fd` (read with pread from offset 0, so
// the descriptor's position is not used). Fails with the read's error, or
// with EIO when the digest itself fails.
platform::Result<FileDigest> sha256OfDescriptor(int fd);

std::string toHex(std::span<const uint8_t> bytes);
// Parses exactly `out.size()` bytes of lower-case hexadecimal text.
bool fromHex(std::string_view text, std::span<uint8_t> out);

// An Ed25519 public key that can check signatures.
class PublicKey {
  public:
    explicit PublicKey(const RawPublicKey& raw);

    // Reads a PEM "PUBLIC KEY" (as written by holm-sign keygen or openssl);
    // empty if the text is not an Ed25519 public key, the one way it fails
    // (it parses text in memory), so no error value is carried.
    static std::optional<PublicKey> fromPem(std::string_view pem);

    const RawPublicKey& raw() const { return raw_; }
    const KeyId& id() const { return id_; }
    std::string toPem() const;
    bool verify(std::span<const uint8_t> message, const SignatureBytes& signature) const;

    bool operator==(const PublicKey& other) const { return raw_ == other.raw_; }

  private:
    RawPublicKey raw_;
    KeyId id_;
};

// An Ed25519 private key. Only the signing tool holds one; the host never does.
class PrivateKey {
  public:
    PrivateKey(PrivateKey&&) noexcept;
    PrivateKey& operator=(PrivateKey&&) noexcept;
    ~PrivateKey();

    // Empty only when libcrypto cannot make a key, for which it gives no
    // reason a caller could act on.
    static std::optional<PrivateKey> generate();
    // Reads an unencrypted PEM "PRIVATE KEY"; empty if it is not Ed25519 (as
    // fromPem of a public key, the one way it fails).
    static std::optional<PrivateKey> fromPem(std::string_view pem);

    std::string toPem() const;
    PublicKey publicKey() const;
    SignatureBytes sign(std::span<const uint8_t> message) const;

  private:
    struct Impl;
    explicit PrivateKey(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace holm::security

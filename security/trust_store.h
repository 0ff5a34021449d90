// Which public keys the host trusts: the product key compiled into this build
// and the keys of plugin authors that an administrator enrolled.
//
// Keys have roles. The product key alone signs the core library and the
// product's own files; an enrolled key signs plugins and their data only, so
// that a plugin author can never stand in for the product.
//
// Enrolled keys live in a directory (default /etc/holm/trusted-keys/, or the
// one named by HOLM_TRUSTED_KEYS_DIR), one PEM public key per file named
// "<something>.pub". The directory and every key file must be owned by root
// (or by the user the process runs as) and not writable by group or others;
// anything else is ignored, with a reason. Private keys are never installed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "security/crypto.h"
#include "security/reason.h"
#include "security/signature_file.h"

namespace holm::security {

inline constexpr std::string_view kDefaultTrustedKeysDir = "/etc/holm/trusted-keys/";
inline constexpr const char* kTrustedKeysDirVariable = "HOLM_TRUSTED_KEYS_DIR";
inline constexpr size_t kMaxKeyFileSize = 4096;

// The product key compiled in. The build generates it in its own tree, so in
// every build made from this source tree it is a development key.
const PublicKey& productKey();
bool productKeyIsDevelopmentKey();

// Who signed a file.
enum class KeyRole {
    Product,   // the product key compiled in
    Enrolled,  // a plugin author's key enrolled by an administrator
};

// What a file is, and therefore which signers it admits.
enum class FileRole {
    Product,  // the core library and the product's own files: the product key alone
    Plugin,   // plugins and their data: the product key or an enrolled key
};

// "product key" / "enrolled key".
std::string_view describe(KeyRole role);

struct TrustedKey {
    PublicKey key;
    KeyRole role;
};

// A key file (or the whole directory) that was not enrolled, and why.
struct IgnoredKey {
    std::string path;
    std::string why;
};

class TrustStore {
  public:
    TrustStore() = default;
    // Trusts `keys` as enrolled keys.
    explicit TrustStore(const std::vector<PublicKey>& keys);

    // A key trusted in both roles counts as the product key.
    void add(const PublicKey& key, KeyRole role = KeyRole::Enrolled);

    // Enrols every acceptable "*.pub" file of `directory`; returns what was
    // ignored. A missing directory enrols nothing and reports nothing.
    std::vector<IgnoredKey> enrollDirectory(const std::string& directory);

    // Verified when a trusted key with the signature's key id, of a role that
    // `file` admits, signed its record; `signer` (optional) then receives the
    // key's role. A valid signature by an enrolled key on a product file is
    // NotProductKey; otherwise UntrustedKey or BadSignature.
    Reason check(const SignatureFile& signature, FileRole file, KeyRole* signer = nullptr) const;

    const std::vector<TrustedKey>& keys() const { return keys_; }
    // Everything enrollDirectory ignored so far.
    const std::vector<IgnoredKey>& ignored() const { return ignored_; }

    // The product key plus the enrolled keys, read once per process.
    static const TrustStore& system();

  private:
    std::vector<TrustedKey> keys_;
    std::vector<IgnoredKey> ignored_;
};

}  // namespace holm::security

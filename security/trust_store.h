// Which public keys the host trusts: the product key compiled into this build
// and the keys of plugin authors that an administrator enrolled.
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

// A key file (or the whole directory) that was not enrolled, and why.
struct IgnoredKey {
    std::string path;
    std::string why;
};

class TrustStore {
  public:
    TrustStore() = default;
    explicit TrustStore(std::vector<PublicKey> keys) : keys_(std::move(keys)) {}

    void add(const PublicKey& key);

    // Enrols every acceptable "*.pub" file of `directory`; returns what was
    // ignored. A missing directory enrols nothing and reports nothing.
    std::vector<IgnoredKey> enrollDirectory(const std::string& directory);

    // Verified when a trusted key with the signature's key id signed its
    // record; otherwise UntrustedKey or BadSignature.
    Reason check(const SignatureFile& signature) const;

    const std::vector<PublicKey>& keys() const { return keys_; }
    // Everything enrollDirectory ignored so far.
    const std::vector<IgnoredKey>& ignored() const { return ignored_; }

    // The product key plus the enrolled keys, read once per process.
    static const TrustStore& system();

  private:
    std::vector<PublicKey> keys_;
    std::vector<IgnoredKey> ignored_;
};

}  // namespace holm::security

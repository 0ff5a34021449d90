#include "security/trust_store.h"

#include <algorithm>
#include <cstdlib>

#include "common/path_parts.h"
#include "platform/directory_listing.h"
#include "platform/result.h"
#include "platform/verified_open.h"
#include "product_key_data.h"
#include "security/file_checks.h"

namespace holm::security {
namespace {

constexpr std::string_view kKeySuffix = ".pub";

// Empty when the owner and permissions are acceptable, else why not.
std::string ownershipProblem(const platform::OpenedFileInfo& info) {
    if (!isTrustedOwner(info.owner)) {
        return "is owned by another user";
    }
    if (info.writableByGroupOrOthers) {
        return "is writable by group or others";
    }
    return {};
}

bool hasKeySuffix(const std::string& name) {
    return name.size() > kKeySuffix.size() &&
           name.compare(name.size() - kKeySuffix.size(), kKeySuffix.size(), kKeySuffix) == 0;
}

// Reads one enrolled key file: the key, or why it is ignored.
platform::Result<PublicKey, std::string> readKeyFile(int directoryFd, const std::string& name) {
    auto opened = platform::openFileAt(directoryFd, name);
    if (!opened) {
        return describeOpenFailure(opened.error());
    }
    if (std::string problem = ownershipProblem(opened->info); !problem.empty()) {
        return problem;
    }
    auto text = readSmallFile(opened->fd.get(), kMaxKeyFileSize);
    if (!text) {
        return std::string(isTooLarge(text.error()) ? "is too large for a key file"
                                                    : "cannot be read");
    }
    auto key = PublicKey::fromPem(*text);
    if (!key) {
        return std::string("is not an Ed25519 public key in PEM form");
    }
    return std::move(*key);
}

// The names in the directory that was opened and checked (not whatever is
// at its path by now), in order.
std::vector<std::string> directoryEntries(int directoryFd) {
    std::vector<std::string> names = platform::entryNamesAt(directoryFd).valueOr({});
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

const PublicKey& productKey() {
    static const PublicKey key = [] {
        RawPublicKey raw{};
        std::copy(std::begin(generated::kProductPublicKey), std::end(generated::kProductPublicKey),
                  raw.begin());
        return PublicKey(raw);
    }();
    return key;
}

bool productKeyIsDevelopmentKey() {
    return generated::kProductKeyIsDevelopmentKey;
}

std::string_view describe(KeyRole role) {
    return role == KeyRole::Product ? "product key" : "enrolled key";
}

TrustStore::TrustStore(const std::vector<PublicKey>& keys) {
    for (const PublicKey& key : keys) {
        add(key);
    }
}

void TrustStore::add(const PublicKey& key, KeyRole role) {
    auto known = std::find_if(keys_.begin(), keys_.end(),
                              [&](const TrustedKey& trusted) { return trusted.key == key; });
    if (known == keys_.end()) {
        keys_.push_back({key, role});
    } else if (role == KeyRole::Product) {
        known->role = KeyRole::Product;
    }
}

std::vector<IgnoredKey> TrustStore::enrollDirectory(const std::string& directory) {
    std::vector<IgnoredKey> ignored;
    auto dir = platform::openDirectory(directory);
    if (!dir && dir.error().refusal == platform::OpenRefusal::NotFound) {
        return ignored;
    }
    const std::string why = dir ? ownershipProblem(dir->info) : describeOpenFailure(dir.error());
    if (!why.empty()) {
        ignored.push_back({directory, "directory " + why});
    } else {
        for (const std::string& name : directoryEntries(dir->fd.get())) {
            if (name.starts_with('.')) {
                continue;
            }
            const std::string path = common::joinedPath(directory, name);
            if (!hasKeySuffix(name)) {
                ignored.push_back({path, "is not named *.pub"});
            } else if (auto key = readKeyFile(dir->fd.get(), name)) {
                add(*key);
            } else {
                ignored.push_back({path, key.error()});
            }
        }
    }
    ignored_.insert(ignored_.end(), ignored.begin(), ignored.end());
    return ignored;
}

Reason TrustStore::check(const SignatureFile& signature, FileRole file, KeyRole* signer) const {
    const std::vector<uint8_t> message = signedMessage(signature.record);
    Reason outcome = Reason::UntrustedKey;
    for (const TrustedKey& trusted : keys_) {
        if (trusted.key.id() != signature.keyId) {
            continue;
        }
        if (!trusted.key.verify(message, signature.signature)) {
            outcome = outcome == Reason::UntrustedKey ? Reason::BadSignature : outcome;
            continue;
        }
        if (file == FileRole::Product && trusted.role != KeyRole::Product) {
            outcome = Reason::NotProductKey;
            continue;
        }
        if (signer != nullptr) {
            *signer = trusted.role;
        }
        return Reason::Verified;
    }
    return outcome;
}

const TrustStore& TrustStore::system() {
    static const TrustStore store = [] {
        TrustStore result;
        result.add(productKey(), KeyRole::Product);
        const char* override = std::getenv(kTrustedKeysDirVariable);
        result.enrollDirectory(override && *override ? override
                                                     : std::string(kDefaultTrustedKeysDir));
        return result;
    }();
    return store;
}

}  // namespace holm::security

// The cryptography of signatures on Linux: OpenSSL's libcrypto.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <climits>
#include <stdexcept>

#include "security/crypto.h"

namespace holm::security {
namespace {

struct EvpPkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct EvpMdCtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

BioPtr memoryBio(std::string_view text) {
    if (text.size() > static_cast<size_t>(INT32_MAX)) {
        return nullptr;
    }
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

bool isEd25519(const EVP_PKEY* key) {
    return key && EVP_PKEY_get_id(key) == EVP_PKEY_ED25519;
}

PkeyPtr publicPkey(const RawPublicKey& raw) {
    return PkeyPtr(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size()));
}

std::optional<RawPublicKey> rawPublicOf(const EVP_PKEY* key) {
    RawPublicKey raw{};
    size_t length = raw.size();
    if (EVP_PKEY_get_raw_public_key(key, raw.data(), &length) != 1 || length != raw.size()) {
        return std::nullopt;
    }
    return raw;
}

}  // namespace

struct Sha256::State {
    MdCtxPtr context;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->context.reset(EVP_MD_CTX_new());
    failed_ =
        !state_->context || EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const uint8_t> data) {
    if (!failed_ && EVP_DigestUpdate(state_->context.get(), data.data(), data.size()) != 1) {
        failed_ = true;
    }
}

std::optional<Digest> Sha256::finish() {
    Digest digest{};
    unsigned int length = 0;
    if (failed_ || EVP_DigestFinal_ex(state_->context.get(), digest.data(), &length) != 1 ||
        length != digest.size()) {
        failed_ = true;
        return std::nullopt;
    }
    failed_ = true;  // a finished context takes no more data
    return digest;
}

std::optional<PublicKey> PublicKey::fromPem(std::string_view pem) {
    BioPtr bio = memoryBio(pem);
    if (!bio) {
        return std::nullopt;
    }
    PkeyPtr key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!isEd25519(key.get())) {
        return std::nullopt;
    }
    auto raw = rawPublicOf(key.get());
    return raw ? std::optional<PublicKey>(PublicKey(*raw)) : std::nullopt;
}

std::string PublicKey::toPem() const {
    PkeyPtr key = publicPkey(raw_);
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!key || !bio || PEM_write_bio_PUBKEY(bio.get(), key.get()) != 1) {
        throw std::runtime_error("cannot write a public key");
    }
    return bioText(bio.get());
}

bool PublicKey::verify(std::span<const uint8_t> message, const SignatureBytes& signature) const {
    PkeyPtr key = publicPkey(raw_);
    MdCtxPtr context(EVP_MD_CTX_new());
    if (!key || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(),
                            message.size()) == 1;
}

struct PrivateKey::Impl {
    PkeyPtr key;
};

PrivateKey::PrivateKey(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PrivateKey::PrivateKey(PrivateKey&&) noexcept = default;
PrivateKey& PrivateKey::operator=(PrivateKey&&) noexcept = default;
PrivateKey::~PrivateKey() = default;

std::optional<PrivateKey> PrivateKey::generate() {
    PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!isEd25519(key.get())) {
        return std::nullopt;
    }
    return PrivateKey(std::make_unique<Impl>(Impl{std::move(key)}));
}

std::optional<PrivateKey> PrivateKey::fromPem(std::string_view pem) {
    BioPtr bio = memoryBio(pem);
    if (!bio) {
        return std::nullopt;
    }
    PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!isEd25519(key.get())) {
        return std::nullopt;
    }
    return PrivateKey(std::make_unique<Impl>(Impl{std::move(key)}));
}

std::string PrivateKey::toPem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), impl_->key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
        throw std::runtime_error("cannot write a private key");
    }
    return bioText(bio.get());
}

PublicKey PrivateKey::publicKey() const {
    auto raw = rawPublicOf(impl_->key.get());
    if (!raw) {
        throw std::runtime_error("cannot read the public half of a private key");
    }
    return PublicKey(*raw);
}

SignatureBytes PrivateKey::sign(std::span<const uint8_t> message) const {
    MdCtxPtr context(EVP_MD_CTX_new());
    SignatureBytes signature{};
    size_t length = signature.size();
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, impl_->key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature.data(), &length, message.data(), message.size()) !=
            1 ||
        length != signature.size()) {
        throw std::runtime_error("Ed25519 signing failed");
    }
    return signature;
}

}  // namespace holm::security

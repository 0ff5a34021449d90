#include "security/crypto.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <stdexcept>
#include <vector>

#include "platform/io.h"

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

// Large enough to keep the hash bounded by SHA-256 speed, small enough to stay
// in the cache.
constexpr size_t kHashChunk = 256 * 1024;

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

Digest sha256(std::span<const uint8_t> data) {
    Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    return digest;
}

platform::Result<FileDigest> sha256OfDescriptor(int fd) {
    const auto digestFailed = platform::Error::fromErrno(EIO).because("SHA-256 failed");
    MdCtxPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return digestFailed;
    }
    std::vector<uint8_t> buffer(kHashChunk);
    FileDigest result;
    for (;;) {
        auto got = platform::io::readAt(fd, buffer, result.size);
        if (!got) {
            return got.error();
        }
        if (*got == 0) {
            break;
        }
        if (EVP_DigestUpdate(context.get(), buffer.data(), *got) != 1) {
            return digestFailed;
        }
        result.size += *got;
    }
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), result.digest.data(), &length) != 1) {
        return digestFailed;
    }
    return result;
}

std::string toHex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

bool fromHex(std::string_view text, std::span<uint8_t> out) {
    if (text.size() != out.size() * 2) {
        return false;
    }
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    for (size_t i = 0; i < out.size(); ++i) {
        const int high = nibble(text[2 * i]);
        const int low = nibble(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

PublicKey::PublicKey(const RawPublicKey& raw) : raw_(raw) {
    const Digest digest = sha256(raw_);
    std::copy_n(digest.begin(), id_.size(), id_.begin());
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

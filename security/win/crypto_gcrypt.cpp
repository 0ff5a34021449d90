// The cryptography of signatures on Windows: libgcrypt. Keys are read and
// written in the PEM forms OpenSSL uses (SubjectPublicKeyInfo for a public
// key, PKCS #8 for a private one), byte for byte, so key files move between
// the systems unchanged.
#include <gcrypt.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/random.h"
#include "security/crypto.h"

namespace holm::security {
namespace {

// An Ed25519 private key is its 32-byte seed.
using Seed = std::array<uint8_t, 32>;

// The DER an Ed25519 key is wrapped in, followed by the 32 key bytes:
// SEQUENCE { SEQUENCE { OID 1.3.101.112 } BIT STRING } for a public key and
// SEQUENCE { INTEGER 0, SEQUENCE { OID 1.3.101.112 }, OCTET STRING { OCTET
// STRING } } for a private one.
constexpr uint8_t kPublicKeyDerPrefix[] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                           0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
constexpr uint8_t kPrivateKeyDerPrefix[] = {0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06,
                                            0x03, 0x2b, 0x65, 0x70, 0x04, 0x22, 0x04, 0x20};
constexpr char kPublicLabel[] = "PUBLIC KEY";
constexpr char kPrivateLabel[] = "PRIVATE KEY";

// libgcrypt's own log goes to standard error; its notes (on Windows, for
// one, a hint about disk statistics when its entropy gatherer finds none) are
// not the program's output. Nothing it logs is lost to a caller: every
// failure also comes back as an error code.
void quietLog(void*, int, const char*, va_list) {}

// libgcrypt wants its version check before any other call, once per process.
bool gcryptReady() {
    static const bool ready = [] {
        gcry_set_log_handler(quietLog, nullptr);
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
            return false;
        }
        // Only the signing tool holds a private key; it needs no locked pages.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    return ready;
}

struct SexpRelease {
    void operator()(gcry_sexp_t sexp) const { gcry_sexp_release(sexp); }
};
using SexpPtr = std::unique_ptr<std::remove_pointer_t<gcry_sexp_t>, SexpRelease>;

// Wipes a secret when it goes out of use.
void wipe(std::span<uint8_t> secret) {
    volatile uint8_t* bytes = secret.data();
    for (size_t i = 0; i < secret.size(); ++i) {
        bytes[i] = 0;
    }
}

// The data an EdDSA signature covers: the message itself, hashed by the
// algorithm (SHA-512) as Ed25519 prescribes.
SexpPtr messageSexp(std::span<const uint8_t> message) {
    if (message.size() > static_cast<size_t>(INT_MAX)) {
        return nullptr;
    }
    gcry_sexp_t data = nullptr;
    if (gcry_sexp_build(&data, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                        static_cast<int>(message.size()), message.data()) != 0) {
        return nullptr;
    }
    return SexpPtr(data);
}

SexpPtr privateKeySexp(const Seed& seed) {
    gcry_sexp_t key = nullptr;
    if (gcry_sexp_build(&key, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(d %b)))",
                        static_cast<int>(seed.size()), seed.data()) != 0) {
        return nullptr;
    }
    return SexpPtr(key);
}

// The bytes of the token `name` in `sexp` (as "(name <bytes>)"), exactly
// `out.size()` of them.
bool tokenBytes(gcry_sexp_t sexp, const char* name, std::span<uint8_t> out) {
    SexpPtr token(gcry_sexp_find_token(sexp, name, 0));
    size_t length = 0;
    const char* data = token ? gcry_sexp_nth_data(token.get(), 1, &length) : nullptr;
    if (data == nullptr || length != out.size()) {
        return false;
    }
    std::memcpy(out.data(), data, length);
    return true;
}

// ---------------------------------------------------------------------------
// PEM: base64 of the DER between "-----BEGIN <label>-----" and
// "-----END <label>-----", in lines of 64 characters.

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string pemOf(const char* label, std::span<const uint8_t> der) {
    std::string body;
    for (size_t i = 0; i < der.size(); i += 3) {
        const size_t left = der.size() - i;
        const uint32_t group = uint32_t{der[i]} << 16 | (left > 1 ? uint32_t{der[i + 1]} << 8 : 0) |
                               (left > 2 ? uint32_t{der[i + 2]} : 0);
        body.push_back(kBase64[group >> 18 & 0x3F]);
        body.push_back(kBase64[group >> 12 & 0x3F]);
        body.push_back(left > 1 ? kBase64[group >> 6 & 0x3F] : '=');
        body.push_back(left > 2 ? kBase64[group & 0x3F] : '=');
    }
    std::string pem = std::string("-----BEGIN ") + label + "-----\n";
    for (size_t line = 0; line < body.size(); line += 64) {
        pem += body.substr(line, 64);
        pem += '\n';
    }
    return pem + "-----END " + label + "-----\n";
}

// The DER of the first block labelled `label`; empty when there is none or
// its body is not base64.
std::optional<std::vector<uint8_t>> derOf(std::string_view pem, const char* label) {
    const std::string begin = std::string("-----BEGIN ") + label + "-----";
    const std::string end = std::string("-----END ") + label + "-----";
    const size_t start = pem.find(begin);
    if (start == std::string_view::npos) {
        return std::nullopt;
    }
    const size_t bodyStart = start + begin.size();
    const size_t stop = pem.find(end, bodyStart);
    if (stop == std::string_view::npos) {
        return std::nullopt;
    }
    std::vector<uint8_t> der;
    uint32_t group = 0;
    int bits = 0;
    bool padded = false;
    for (const char c : pem.substr(bodyStart, stop - bodyStart)) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            continue;
        }
        if (c == '=') {
            padded = true;
            continue;
        }
        const char* digit = std::strchr(kBase64, c);
        if (padded || c == '\0' || digit == nullptr) {
            return std::nullopt;  // a character after the padding, or not base64
        }
        group = group << 6 | static_cast<uint32_t>(digit - kBase64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            der.push_back(static_cast<uint8_t>(group >> bits & 0xFF));
        }
    }
    return der;
}

// The 32 key bytes of a DER that is exactly `prefix` followed by them.
template <size_t PrefixSize>
std::optional<std::array<uint8_t, 32>> keyBytesOf(const std::vector<uint8_t>& der,
                                                  const uint8_t (&prefix)[PrefixSize]) {
    std::array<uint8_t, 32> key{};
    if (der.size() != PrefixSize + key.size() ||
        !std::equal(prefix, prefix + PrefixSize, der.begin())) {
        return std::nullopt;
    }
    std::copy(der.begin() + PrefixSize, der.end(), key.begin());
    return key;
}

template <size_t PrefixSize>
std::string keyPem(const char* label, const uint8_t (&prefix)[PrefixSize],
                   std::span<const uint8_t, 32> key) {
    std::array<uint8_t, PrefixSize + 32> der{};
    std::copy(prefix, prefix + PrefixSize, der.begin());
    std::copy(key.begin(), key.end(), der.begin() + PrefixSize);
    std::string pem = pemOf(label, der);
    wipe(der);
    return pem;
}

}  // namespace

struct Sha256::State {
    gcry_md_hd_t handle = nullptr;
    ~State() {
        if (handle != nullptr) {
            gcry_md_close(handle);
        }
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    failed_ = !gcryptReady() || gcry_md_open(&state_->handle, GCRY_MD_SHA256, 0) != 0;
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const uint8_t> data) {
    if (!failed_) {
        gcry_md_write(state_->handle, data.data(), data.size());
    }
}

std::optional<Digest> Sha256::finish() {
    const unsigned char* value = failed_ ? nullptr : gcry_md_read(state_->handle, GCRY_MD_SHA256);
    failed_ = true;  // a finished context takes no more data
    if (value == nullptr) {
        return std::nullopt;
    }
    Digest digest{};
    std::memcpy(digest.data(), value, digest.size());
    return digest;
}

std::optional<PublicKey> PublicKey::fromPem(std::string_view pem) {
    auto der = derOf(pem, kPublicLabel);
    auto raw = der ? keyBytesOf(*der, kPublicKeyDerPrefix) : std::nullopt;
    return raw ? std::optional<PublicKey>(PublicKey(*raw)) : std::nullopt;
}

std::string PublicKey::toPem() const {
    return keyPem(kPublicLabel, kPublicKeyDerPrefix, std::span<const uint8_t, 32>(raw_));
}

bool PublicKey::verify(std::span<const uint8_t> message, const SignatureBytes& signature) const {
    if (!gcryptReady()) {
        return false;
    }
    gcry_sexp_t key = nullptr;
    gcry_sexp_t sig = nullptr;
    if (gcry_sexp_build(&key, nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))",
                        static_cast<int>(raw_.size()), raw_.data()) != 0) {
        return false;
    }
    SexpPtr keyHolder(key);
    if (gcry_sexp_build(&sig, nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32, signature.data(), 32,
                        signature.data() + 32) != 0) {
        return false;
    }
    SexpPtr sigHolder(sig);
    SexpPtr data = messageSexp(message);
    return data && gcry_pk_verify(sig, data.get(), key) == 0;
}

struct PrivateKey::Impl {
    Seed seed{};
    ~Impl() { wipe(seed); }
};

PrivateKey::PrivateKey(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PrivateKey::PrivateKey(PrivateKey&&) noexcept = default;
PrivateKey& PrivateKey::operator=(PrivateKey&&) noexcept = default;
PrivateKey::~PrivateKey() = default;

std::optional<PrivateKey> PrivateKey::generate() {
    if (!gcryptReady()) {
        return std::nullopt;
    }
    // The seed comes from the system's generator, not libgcrypt's: its
    // entropy gatherer reads the desktop's state (user32), which under Wine
    // starts the desktop process, and that process keeps the caller's
    // standard error, so a caller reading a key generator's output to its
    // end waits for the desktop to go.
    auto impl = std::make_unique<Impl>();
    if (!platform::fillRandom(impl->seed)) {
        return std::nullopt;
    }
    return PrivateKey(std::move(impl));
}

std::optional<PrivateKey> PrivateKey::fromPem(std::string_view pem) {
    auto der = derOf(pem, kPrivateLabel);
    auto seed = der ? keyBytesOf(*der, kPrivateKeyDerPrefix) : std::nullopt;
    if (der) {
        wipe(*der);
    }
    if (!seed) {
        return std::nullopt;
    }
    auto impl = std::make_unique<Impl>();
    impl->seed = *seed;
    wipe(*seed);
    return PrivateKey(std::move(impl));
}

std::string PrivateKey::toPem() const {
    return keyPem(kPrivateLabel, kPrivateKeyDerPrefix, std::span<const uint8_t, 32>(impl_->seed));
}

PublicKey PrivateKey::publicKey() const {
    SexpPtr key = gcryptReady() ? privateKeySexp(impl_->seed) : nullptr;
    gcry_ctx_t context = nullptr;
    if (!key || gcry_mpi_ec_new(&context, key.get(), nullptr) != 0) {
        throw std::runtime_error("cannot read the public half of a private key");
    }
    // The curve point the seed makes, in Ed25519's 32-byte encoding.
    gcry_mpi_t point = gcry_mpi_ec_get_mpi("q@eddsa", context, 1);
    gcry_ctx_release(context);
    unsigned int bits = 0;
    const void* bytes = point ? gcry_mpi_get_opaque(point, &bits) : nullptr;
    RawPublicKey raw{};
    const bool whole = bytes != nullptr && bits == raw.size() * 8;
    if (whole) {
        std::memcpy(raw.data(), bytes, raw.size());
    }
    gcry_mpi_release(point);
    if (!whole) {
        throw std::runtime_error("cannot read the public half of a private key");
    }
    return PublicKey(raw);
}

SignatureBytes PrivateKey::sign(std::span<const uint8_t> message) const {
    SexpPtr key = gcryptReady() ? privateKeySexp(impl_->seed) : nullptr;
    SexpPtr data = messageSexp(message);
    gcry_sexp_t result = nullptr;
    if (!key || !data || gcry_pk_sign(&result, data.get(), key.get()) != 0) {
        throw std::runtime_error("Ed25519 signing failed");
    }
    SexpPtr resultHolder(result);
    SignatureBytes signature{};
    if (!tokenBytes(result, "r", std::span<uint8_t>(signature.data(), 32)) ||
        !tokenBytes(result, "s", std::span<uint8_t>(signature.data() + 32, 32))) {
        throw std::runtime_error("Ed25519 signing failed");
    }
    return signature;
}

}  // namespace holm::security

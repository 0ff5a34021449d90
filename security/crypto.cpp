#include "security/crypto.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <vector>

#include "platform/io.h"

namespace holm::security {
namespace {

// Large enough to keep the hash bounded by SHA-256 speed, small enough to stay
// in the cache.
constexpr size_t kHashChunk = 256 * 1024;

}  // namespace

Digest sha256(std::span<const uint8_t> data) {
    Sha256 hash;
    hash.update(data);
    auto digest = hash.finish();
    if (!digest) {
        throw std::runtime_error("SHA-256 failed");
    }
    return *digest;
}

platform::Result<FileDigest> sha256OfDescriptor(int fd) {
    const auto digestFailed = platform::Error::fromErrno(EIO).because("SHA-256 failed");
    Sha256 hash;
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
        hash.update(std::span<const uint8_t>(buffer.data(), *got));
        result.size += *got;
    }
    auto digest = hash.finish();
    if (!digest) {
        return digestFailed;
    }
    result.digest = *digest;
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

}  // namespace holm::security

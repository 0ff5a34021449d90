#include "security/verified_data.h"

#include "security/file_checks.h"

namespace holm::security {
namespace {

// Reads the whole file behind `fd` into `content`: Verified, or why not.
Reason readContent(int fd, uint64_t expectedSize, std::vector<std::byte>& content) {
    auto bytes = readBoundedFile(fd, expectedSize, VerifiedData::kMaxSize);
    if (!bytes) {
        return isTooLarge(bytes.error()) ? Reason::TooLarge : Reason::ReadFailed;
    }
    content = std::move(*bytes);
    return Reason::Verified;
}

}  // namespace

VerifiedData VerifiedData::open(const std::string& path, const TrustStore& trust, FileRole role,
                                const VerifyOptions& options) {
    std::vector<std::byte> content;
    const auto hashContent = [&content](int fd, uint64_t signedSize, const Digest& digest) {
        if (signedSize > kMaxSize) {
            return Reason::TooLarge;
        }
        const Reason read = readContent(fd, signedSize, content);
        if (read != Reason::Verified) {
            return read;
        }
        if (content.size() != signedSize) {
            return Reason::WrongSize;  // changed while being read
        }
        const auto* data = reinterpret_cast<const uint8_t*>(content.data());
        return sha256({data, content.size()}) == digest ? Reason::Verified : Reason::DigestMismatch;
    };
    const VerifiedFile file = VerifiedFile::verify(path, trust, role, options, hashContent);
    VerifiedData result(path, file.reason());
    result.signer_ = file.signer();
    if (file.passed() && file.reason() != Reason::Verified) {
        // Accepted without a signature check (already loaded, or unsigned in
        // the relaxed check): read what the checks were made on.
        result.reason_ = readContent(file.descriptor(), file.size(), content);
        if (result.reason_ == Reason::Verified) {
            result.reason_ = file.reason();
        }
    }
    if (result.passed()) {
        result.content_ = std::move(content);
    }
    return result;
}

std::string VerifiedData::message() const {
    return path_ + ": " + std::string(describe(reason_));
}

}  // namespace holm::security

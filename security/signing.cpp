#include "security/signing.h"

#include <filesystem>
#include <random>
#include <system_error>

#include "platform/verified_open.h"
#include "security/file_checks.h"
#include "security/trust_store.h"

namespace holm::security {
namespace {

// Opens a regular file by path without following a link at its name.
platform::OpenedFile openRegular(const std::string& path, std::string& error) {
    platform::OpenedFile file = openInDirectory(path).file;
    error = describeOpenFailure(file);
    return file;
}

}  // namespace

std::optional<SignatureFile> signFile(const std::string& path, const PrivateKey& key,
                                      std::string& error) {
    SignedRecord record;
    record.name = std::filesystem::path(path).filename().string();
    if (!isSignableName(record.name)) {
        error = "the file name cannot be signed";
        return std::nullopt;
    }
    platform::OpenedFile file = openRegular(path, error);
    if (file.status != platform::OpenStatus::Opened) {
        return std::nullopt;
    }
    const auto digest = sha256OfDescriptor(file.fd.get(), record.size);
    if (!digest) {
        error = "cannot read the file";
        return std::nullopt;
    }
    record.digest = *digest;
    return signRecord(record, key);
}

bool writeSignatureFile(const std::string& path, const SignatureFile& signature,
                        std::string& error) {
    const std::string target = path + std::string(kSignatureSuffix);
    const std::string temporary = target + "." + std::to_string(std::random_device{}()) + ".tmp";
    const int failure = platform::createNewFile(temporary, formatSignatureFile(signature), 0644);
    if (failure != 0) {
        error = "cannot write " + temporary + ": " + std::generic_category().message(failure);
        return false;
    }
    std::error_code renameError;
    std::filesystem::rename(temporary, target, renameError);
    if (renameError) {
        std::filesystem::remove(temporary, renameError);
        error = "cannot replace " + target;
        return false;
    }
    return true;
}

bool readKeyFile(const std::string& path, std::string& text, std::string& error) {
    platform::OpenedFile file = openRegular(path, error);
    if (file.status != platform::OpenStatus::Opened) {
        return false;
    }
    auto content = readSmallFile(file.fd.get(), kMaxKeyFileSize);
    if (!content) {
        error = isTooLarge(content.error()) ? "too large for a key file" : "cannot be read";
        return false;
    }
    text = std::move(*content);
    return true;
}

}  // namespace holm::security

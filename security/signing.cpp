#include "security/signing.h"

#include <random>

#include "common/path_parts.h"
#include "platform/file_system.h"
#include "platform/verified_open.h"
#include "security/file_checks.h"
#include "security/trust_store.h"

namespace holm::security {
namespace {

// Opens a regular file by path without following a link at its name.
platform::Result<platform::OpenedFile, SigningError> openRegular(const std::string& path) {
    auto opened = openInDirectory(path);
    if (!opened) {
        return SigningError{describeOpenFailure(opened.error())};
    }
    return std::move(opened->file);
}

}  // namespace

platform::Result<SignatureFile, SigningError> signFile(const std::string& path,
                                                       const PrivateKey& key) {
    SignedRecord record;
    record.name = std::string(common::fileNameOf(path));
    if (!isSignableName(record.name)) {
        return SigningError{"the file name cannot be signed"};
    }
    auto file = openRegular(path);
    if (!file) {
        return file.error();
    }
    const auto digest = sha256OfDescriptor(file->fd.get());
    if (!digest) {
        return SigningError{"cannot read the file"};
    }
    record.size = digest->size;
    record.digest = digest->digest;
    return signRecord(record, key);
}

platform::Result<void, SigningError> writeSignatureFile(const std::string& path,
                                                        const SignatureFile& signature) {
    const std::string target = path + std::string(kSignatureSuffix);
    const std::string temporary = target + "." + std::to_string(std::random_device{}()) + ".tmp";
    const platform::Status created =
        platform::createNewFile(temporary, formatSignatureFile(signature), 0644);
    if (!created) {
        return SigningError{"cannot write " + temporary + ": " + created.error().message()};
    }
    if (!platform::renameReplacing(temporary, target)) {
        (void)platform::removeFile(temporary);
        return SigningError{"cannot replace " + target};
    }
    return {};
}

platform::Result<std::string, SigningError> readKeyFile(const std::string& path) {
    auto file = openRegular(path);
    if (!file) {
        return file.error();
    }
    auto content = readSmallFile(file->fd.get(), kMaxKeyFileSize);
    if (!content) {
        return SigningError{isTooLarge(content.error()) ? "too large for a key file"
                                                        : "cannot be read"};
    }
    return std::move(*content);
}

}  // namespace holm::security

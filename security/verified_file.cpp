#include "security/verified_file.h"

#include "platform/shared_library.h"

#include <filesystem>

#include "security/file_checks.h"
#include "security/signature_file.h"

namespace holm::security {
namespace {

Reason fileOpenRefusal(platform::OpenStatus status) {
    switch (status) {
        case platform::OpenStatus::NotFound:
            return Reason::NotFound;
        case platform::OpenStatus::SymbolicLink:
            return Reason::SymbolicLink;
        case platform::OpenStatus::WrongType:
            return Reason::NotRegularFile;
        case platform::OpenStatus::Opened:
        case platform::OpenStatus::Failed:
            break;
    }
    return Reason::OpenFailed;
}

std::optional<Reason> ownershipRefusal(const platform::OpenedFileInfo& file,
                                       const platform::OpenedFileInfo& directory) {
    if (!isTrustedOwner(file.owner)) {
        return Reason::UntrustedOwner;
    }
    if (file.writableByGroupOrOthers) {
        return Reason::WritableByOthers;
    }
    if (!isTrustedOwner(directory.owner)) {
        return Reason::DirectoryUntrustedOwner;
    }
    if (directory.writableByGroupOrOthers) {
        return Reason::DirectoryWritableByOthers;
    }
    return std::nullopt;
}

// Reads and parses `<name>.sig` beside the file; NoSignature when it is absent.
std::optional<SignatureFile> readSignature(int directoryFd, const std::string& name,
                                           Reason& refusal) {
    platform::OpenedFile opened =
        platform::openFileAt(directoryFd, name + std::string(kSignatureSuffix));
    switch (opened.status) {
        case platform::OpenStatus::Opened:
            break;
        case platform::OpenStatus::NotFound:
            refusal = Reason::NoSignature;
            return std::nullopt;
        case platform::OpenStatus::SymbolicLink:
        case platform::OpenStatus::WrongType:
            refusal = Reason::SignatureNotRegularFile;
            return std::nullopt;
        case platform::OpenStatus::Failed:
            refusal = Reason::OpenFailed;
            return std::nullopt;
    }
    bool tooLarge = false;
    auto text = readSmallFile(opened.fd.get(), kMaxSignatureFileSize, tooLarge);
    if (!text) {
        refusal = tooLarge ? Reason::SignatureTooLarge : Reason::ReadFailed;
        return std::nullopt;
    }
    return parseSignatureFile(*text, refusal);
}

// Checks the signed record against the file behind `fd`; the cheap checks
// come first so that a wrong file is refused without hashing it.
Reason checkRecord(const SignedRecord& record, const std::string& name,
                   const platform::OpenedFileInfo& info, int fd) {
    if (record.name != name) {
        return Reason::WrongName;
    }
    if (record.size != info.size) {
        return Reason::WrongSize;
    }
    uint64_t hashed = 0;
    const auto digest = sha256OfDescriptor(fd, hashed);
    if (!digest) {
        return Reason::ReadFailed;
    }
    if (hashed != record.size) {
        return Reason::WrongSize;  // changed while being read
    }
    return *digest == record.digest ? Reason::Verified : Reason::DigestMismatch;
}

}  // namespace

bool isLoadedModule(uint64_t device, uint64_t inode) {
    return platform::isModuleLoaded(platform::ModuleId{device, inode});
}

VerifiedFile VerifiedFile::open(const std::string& path, const TrustStore& trust,
                                const VerifyOptions& options) {
    const std::filesystem::path fsPath(path);
    const std::string name = fsPath.filename().string();
    if (name.empty()) {
        return VerifiedFile(path, path.empty() ? Reason::NotFound : Reason::NotRegularFile);
    }
    FileInDirectory opened = openInDirectory(path);
    if (opened.file.status != platform::OpenStatus::Opened) {
        return VerifiedFile(path, fileOpenRefusal(opened.file.status));
    }
    const platform::OpenedFile& dir = opened.directory;

    VerifiedFile result(path, Reason::Verified);
    result.info_ = opened.file.info;
    result.fd_ = std::move(opened.file.fd);
    if (options.isLoaded &&
        options.isLoaded(result.info_.identity.device, result.info_.identity.inode)) {
        result.reason_ = Reason::AlreadyLoaded;
        return result;
    }
    if (auto refusal = ownershipRefusal(result.info_, dir.info)) {
        result.reason_ = *refusal;
    } else if (auto signature = readSignature(dir.fd.get(), name, result.reason_)) {
        result.reason_ = trust.check(*signature);
        if (result.reason_ == Reason::Verified) {
            result.reason_ = checkRecord(signature->record, name, result.info_, result.fd_.get());
        }
    } else if (result.reason_ == Reason::NoSignature && options.relaxed) {
        result.reason_ = Reason::AcceptedUnsigned;
    }
    if (!result.passed()) {
        result.fd_.reset();
    }
    return result;
}

std::string VerifiedFile::message() const {
    return path_ + ": " + std::string(describe(reason_));
}

std::string VerifiedFile::loadPath() const {
    return fd_ ? platform::descriptorPath(fd_.get()) : std::string();
}

VerifiedFile selftest(const std::string& path, bool relaxed, bool alwaysVerify,
                      const SelftestContext& context) {
    std::string fullPath = path;
    if (path.find('/') == std::string::npos && !context.productDirectory.empty()) {
        fullPath = (std::filesystem::path(context.productDirectory) / path).string();
    }
    VerifyOptions options;
    options.relaxed = relaxed;
    if (!alwaysVerify) {
        options.isLoaded = context.isLoaded;
    }
    const TrustStore& trust = context.trust ? *context.trust : TrustStore::system();
    return VerifiedFile::open(fullPath, trust, options);
}

}  // namespace holm::security

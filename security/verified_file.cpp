#include "security/verified_file.h"

#include "platform/shared_library.h"

#include "common/path_parts.h"
#include "security/file_checks.h"
#include "security/product_files.h"
#include "security/signature_file.h"
#include "security/verified_data.h"

namespace holm::security {
namespace {

Reason fileOpenRefusal(platform::OpenRefusal refusal) {
    switch (refusal) {
        case platform::OpenRefusal::NotFound:
            return Reason::NotFound;
        case platform::OpenRefusal::SymbolicLink:
            return Reason::SymbolicLink;
        case platform::OpenRefusal::WrongType:
            return Reason::NotRegularFile;
        case platform::OpenRefusal::Failed:
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
platform::Result<SignatureFile, Reason> readSignature(int directoryFd, const std::string& name) {
    auto opened = platform::openFileAt(directoryFd, name + std::string(kSignatureSuffix));
    if (!opened) {
        switch (opened.error().refusal) {
            case platform::OpenRefusal::NotFound:
                return Reason::NoSignature;
            case platform::OpenRefusal::SymbolicLink:
            case platform::OpenRefusal::WrongType:
                return Reason::SignatureNotRegularFile;
            case platform::OpenRefusal::Failed:
                break;
        }
        return Reason::OpenFailed;
    }
    auto text = readSmallFile(opened->fd.get(), kMaxSignatureFileSize);
    if (!text) {
        return isTooLarge(text.error()) ? Reason::SignatureTooLarge : Reason::ReadFailed;
    }
    return parseSignatureFile(*text);
}

// Checks the signed record against the file behind `fd`; the cheap checks
// come first so that a wrong file is refused without reading it.
Reason checkRecord(const SignedRecord& record, const std::string& name,
                   const platform::OpenedFileInfo& info, int fd,
                   const std::function<Reason(int, uint64_t, const Digest&)>& checkContent) {
    if (record.name != name) {
        return Reason::WrongName;
    }
    if (record.size != info.size) {
        return Reason::WrongSize;
    }
    return checkContent(fd, record.size, record.digest);
}

// Hashes the file from the descriptor it will be loaded from.
Reason checkDescriptorContent(int fd, uint64_t signedSize, const Digest& digest) {
    const auto computed = sha256OfDescriptor(fd);
    if (!computed) {
        return Reason::ReadFailed;
    }
    if (computed->size != signedSize) {
        return Reason::WrongSize;  // changed while being read
    }
    return computed->digest == digest ? Reason::Verified : Reason::DigestMismatch;
}

}  // namespace

bool isLoadedModule(const platform::FileIdentity& file) {
    return platform::isModuleLoaded(file);
}

VerifiedFile VerifiedFile::open(const std::string& path, const TrustStore& trust, FileRole role,
                                const VerifyOptions& options) {
    return verify(path, trust, role, options, checkDescriptorContent);
}

VerifiedFile VerifiedFile::verify(const std::string& path, const TrustStore& trust, FileRole role,
                                  const VerifyOptions& options, const ContentCheck& checkContent) {
    const std::string name(common::fileNameOf(path));
    if (name.empty()) {
        return VerifiedFile(path, path.empty() ? Reason::NotFound : Reason::NotRegularFile);
    }
    auto opened = openInDirectory(path);
    if (!opened) {
        return VerifiedFile(path, fileOpenRefusal(opened.error().refusal));
    }
    VerifiedFile result(path, Reason::Verified);
    result.info_ = opened->file.info;
    result.fd_ = std::move(opened->file.fd);
    // The owner and permission rules come first, also for a loaded module:
    // a file someone else may rewrite is not what was loaded, whatever its
    // identity says now.
    if (auto refusal = ownershipRefusal(result.info_, opened->directory.info)) {
        result.reason_ = *refusal;
    } else if (options.isLoaded && options.isLoaded(result.info_.identity)) {
        result.reason_ = Reason::AlreadyLoaded;
    } else if (auto signature = readSignature(opened->directory.fd.get(), name); !signature) {
        result.reason_ = signature.error();
        if (result.reason_ == Reason::NoSignature && options.relaxed) {
            result.reason_ = Reason::AcceptedUnsigned;
        }
    } else {
        KeyRole signer = KeyRole::Product;
        result.reason_ = trust.check(*signature, role, &signer);
        if (result.reason_ == Reason::Verified) {
            result.reason_ =
                checkRecord(signature->record, name, result.info_, result.fd_.get(), checkContent);
        }
        if (result.reason_ == Reason::Verified) {
            result.signer_ = signer;
        }
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

namespace {

std::string selftestPath(const std::string& path, const SelftestContext& context) {
    if (common::isBareName(path) && !context.productDirectory.empty()) {
        return common::joinedPath(context.productDirectory, path);
    }
    return path;
}

VerifyOptions selftestOptions(UnsignedFiles unsignedFiles, LoadedFiles loadedFiles,
                              const SelftestContext& context) {
    VerifyOptions options;
    options.relaxed = unsignedFiles == UnsignedFiles::AcceptIfSafe;
    if (loadedFiles == LoadedFiles::Accept) {
        options.isLoaded = context.isLoaded;
    }
    return options;
}

const TrustStore& selftestTrust(const SelftestContext& context) {
    return context.trust ? *context.trust : TrustStore::system();
}

}  // namespace

VerifiedFile selftest(const std::string& path, UnsignedFiles unsignedFiles, LoadedFiles loadedFiles,
                      const SelftestContext& context) {
    const std::string full = selftestPath(path, context);
    return VerifiedFile::open(full, selftestTrust(context),
                              roleOfFile(full, context.productDirectory, context.role),
                              selftestOptions(unsignedFiles, loadedFiles, context));
}

VerifiedData selftestData(const std::string& path, UnsignedFiles unsignedFiles,
                          LoadedFiles loadedFiles, const SelftestContext& context) {
    const std::string full = selftestPath(path, context);
    return VerifiedData::open(full, selftestTrust(context),
                              roleOfFile(full, context.productDirectory, context.role),
                              selftestOptions(unsignedFiles, loadedFiles, context));
}

}  // namespace holm::security

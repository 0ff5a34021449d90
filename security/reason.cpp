#include "security/reason.h"

namespace holm::security {

bool accepted(Reason reason) {
    return reason == Reason::Verified || reason == Reason::AlreadyLoaded ||
           reason == Reason::AcceptedUnsigned;
}

std::string_view describe(Reason reason) {
    switch (reason) {
        case Reason::Verified:
            return "valid signature by a trusted key";
        case Reason::AlreadyLoaded:
            return "the same file is already loaded";
        case Reason::AcceptedUnsigned:
            return "unsigned, accepted: only its owner can change it";
        case Reason::NotFound:
            return "the file does not exist";
        case Reason::SymbolicLink:
            return "the file is a symbolic link";
        case Reason::NotRegularFile:
            return "not a regular file";
        case Reason::UntrustedOwner:
            return "the file is owned by another user";
        case Reason::WritableByOthers:
            return "the file is writable by group or others";
        case Reason::DirectoryUntrustedOwner:
            return "the directory is owned by another user";
        case Reason::DirectoryWritableByOthers:
            return "the directory is writable by group or others";
        case Reason::OpenFailed:
            return "the file cannot be opened";
        case Reason::ReadFailed:
            return "the file cannot be read";
        case Reason::TooLarge:
            return "the file is too large to be read as data";
        case Reason::NoSignature:
            return "no signature";
        case Reason::SignatureNotRegularFile:
            return "the signature is not a regular file (or is a symbolic link)";
        case Reason::SignatureTooLarge:
            return "the signature file is too large";
        case Reason::BadSignatureFormat:
            return "the signature file is malformed";
        case Reason::UnsupportedSignatureVersion:
            return "unsupported signature version";
        case Reason::UntrustedKey:
            return "the signature is by an untrusted key";
        case Reason::NotProductKey:
            return "the signature is by an enrolled key, but only the product key may sign this "
                   "file";
        case Reason::BadSignature:
            return "the signature does not verify";
        case Reason::WrongName:
            return "the signature is for a file of another name";
        case Reason::WrongSize:
            return "the file size differs from the signed size";
        case Reason::DigestMismatch:
            return "the file content differs from the signed content";
    }
    return "unknown reason";
}

}  // namespace holm::security

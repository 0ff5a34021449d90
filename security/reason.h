// Why a file was accepted or refused by the verification.
#pragma once

#include <string_view>

namespace holm::security {

enum class Reason {
    // Accepted.
    Verified,          // a valid signature by a trusted key
    AlreadyLoaded,     // the same file (device and inode) is already loaded
    AcceptedUnsigned,  // relaxed check: no signature, safe owner and permissions
    // Refused: the file itself.
    NotFound,
    SymbolicLink,
    NotRegularFile,
    UntrustedOwner,
    WritableByOthers,
    DirectoryUntrustedOwner,
    DirectoryWritableByOthers,
    OpenFailed,
    ReadFailed,
    // Refused: the signature.
    NoSignature,
    SignatureNotRegularFile,
    SignatureTooLarge,
    BadSignatureFormat,
    UnsupportedSignatureVersion,
    UntrustedKey,
    BadSignature,
    WrongName,
    WrongSize,
    DigestMismatch,
};

// True for the three accepting outcomes.
bool accepted(Reason reason);

// A short sentence for logs and tools, e.g. "the signature is by an untrusted key".
std::string_view describe(Reason reason);

}  // namespace holm::security

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
    // Refusals added later stay at the end, so that the numbers (and the
    // signing tool's exit codes) of the others never change.
    NotProductKey,  // valid, but by an enrolled key on a file only the product key may sign
    TooLarge,       // too large to be read into memory as data
};

// True for the three accepting outcomes.
bool accepted(Reason reason);

// A short sentence for logs and tools, e.g. "the signature is by an untrusted key".
std::string_view describe(Reason reason);

}  // namespace holm::security

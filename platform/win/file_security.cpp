#include "platform/win/file_security.h"

#include <aclapi.h>

#include <array>
#include <vector>

namespace holm::platform::win {
namespace {

// The rights that let a holder replace what a file or directory holds:
// write or append (for a directory: add a file or a subdirectory), delete
// the object or a child of it, and change its access list or owner.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                        DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                        GENERIC_ALL;

// A well-known SID built from its authority and sub-authorities.
class KnownSid {
  public:
    KnownSid(SID_IDENTIFIER_AUTHORITY authority, std::initializer_list<DWORD> parts) {
        std::array<DWORD, 8> sub{};
        size_t i = 0;
        for (DWORD part : parts) {
            sub[i++] = part;
        }
        ::AllocateAndInitializeSid(&authority, static_cast<BYTE>(parts.size()), sub[0], sub[1],
                                   sub[2], sub[3], sub[4], sub[5], sub[6], sub[7], &sid_);
    }
    ~KnownSid() {
        if (sid_ != nullptr) {
            ::FreeSid(sid_);
        }
    }
    KnownSid(const KnownSid&) = delete;
    KnownSid& operator=(const KnownSid&) = delete;

    bool matches(PSID other) const { return sid_ != nullptr && ::EqualSid(sid_, other); }

  private:
    PSID sid_ = nullptr;
};

struct TrustedAccounts {
    KnownSid system{SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}};
    KnownSid administrators{SECURITY_NT_AUTHORITY,
                            {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};
    KnownSid installer{
        SECURITY_NT_AUTHORITY,
        {SECURITY_SERVICE_ID_BASE_RID, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}};
    // Placeholders that stand for whoever creates or owns the object: on
    // the object itself the first two match nobody, the last one the owner.
    KnownSid creatorOwner{SECURITY_CREATOR_SID_AUTHORITY, {SECURITY_CREATOR_OWNER_RID}};
    KnownSid creatorGroup{SECURITY_CREATOR_SID_AUTHORITY, {SECURITY_CREATOR_GROUP_RID}};
    KnownSid ownerRights{SECURITY_CREATOR_SID_AUTHORITY, {SECURITY_CREATOR_OWNER_RIGHTS_RID}};
};

const TrustedAccounts& trustedAccounts() {
    static const TrustedAccounts accounts;
    return accounts;
}

bool isTrustedAccount(PSID sid, PSID self) {
    const TrustedAccounts& known = trustedAccounts();
    return known.system.matches(sid) || known.administrators.matches(sid) ||
           known.installer.matches(sid) || (self != nullptr && ::EqualSid(sid, self));
}

bool grantsNothingHere(PSID sid) {
    const TrustedAccounts& known = trustedAccounts();
    return known.creatorOwner.matches(sid) || known.creatorGroup.matches(sid);
}

// Whether an entry of `dacl` gives a changing right to an account that is
// not trusted. The owner-rights entry stands for the owner, which is judged
// on its own.
bool grantsChangeToOthers(const ACL* dacl, PSID self) {
    ACL_SIZE_INFORMATION size{};
    if (!::GetAclInformation(const_cast<ACL*>(dacl), &size, sizeof size, AclSizeInformation)) {
        return true;
    }
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(const_cast<ACL*>(dacl), i, &entry)) {
            return true;
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceFlags & INHERIT_ONLY_ACE) {
            continue;  // passed on to new children, not applied here
        }
        const bool simpleAllow = header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
                                 header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        const bool otherAllow = header->AceType == ACCESS_ALLOWED_COMPOUND_ACE_TYPE ||
                                header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                                header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
        if (!simpleAllow && !otherAllow) {
            continue;  // deny and audit entries grant nothing
        }
        // Every allow entry starts with its header and its mask.
        const ACCESS_MASK mask = static_cast<const ACCESS_ALLOWED_ACE*>(entry)->Mask;
        if ((mask & kChangingRights) == 0) {
            continue;
        }
        if (otherAllow) {
            return true;  // an unusual layout for a file: counted against it
        }
        PSID sid = const_cast<DWORD*>(&static_cast<const ACCESS_ALLOWED_ACE*>(entry)->SidStart);
        if (!isTrustedAccount(sid, self) && !grantsNothingHere(sid) &&
            !trustedAccounts().ownerRights.matches(sid)) {
            return true;
        }
    }
    return false;
}

// The user of the process's token, or empty.
std::vector<BYTE> processUser() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    const OwnedHandle owned(token);
    DWORD needed = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), needed, &needed)) {
        return {};
    }
    return buffer;
}

}  // namespace

FileSecurity judgeSecurity(PSECURITY_DESCRIPTOR descriptor, PSID self) {
    FileSecurity judged;
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    if (::GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted) && owner != nullptr &&
        ::IsValidSid(owner)) {
        judged.trustedOwner = isTrustedAccount(owner, self);
    }
    BOOL present = FALSE;
    BOOL daclDefaulted = FALSE;
    PACL dacl = nullptr;
    if (::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &daclDefaulted) && present &&
        dacl != nullptr) {
        judged.writableByOthers = grantsChangeToOthers(dacl, self);
    }
    return judged;
}

Result<FileSecurity> securityOf(HANDLE handle) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = ::GetSecurityInfo(handle, SE_FILE_OBJECT,
                                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) {
        failWin32(status);
        return lastSystemError();
    }
    const std::vector<BYTE> user = processUser();
    PSID self = user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    const FileSecurity judged = judgeSecurity(descriptor, self);
    ::LocalFree(descriptor);
    return judged;
}

}  // namespace holm::platform::win

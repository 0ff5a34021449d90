// Who may change a file on Windows: its owner and its access list.
//
// A file (or directory) is trusted when its owner is the system, the
// Administrators group, the installer service or the process's own user,
// and its access list grants nobody else a right to write it, delete it,
// or change its permissions or owner. A missing access list grants every
// right to everyone. Deny entries are not weighed: a right one of them
// takes back is still counted, so the judgement errs towards refusal.
#pragma once

#include "platform/win/native.h"

namespace holm::platform::win {

struct FileSecurity {
    bool trustedOwner = false;
    bool writableByOthers = true;
};

// Judges the owner and access list of `descriptor`; `self` is the user the
// process runs as (null when unknown: only the built-in accounts count).
FileSecurity judgeSecurity(PSECURITY_DESCRIPTOR descriptor, PSID self);

// Reads and judges the security of the object open on `handle` (which needs
// READ_CONTROL). A failure sets errno and the Win32 number.
Result<FileSecurity> securityOf(HANDLE handle);

}  // namespace holm::platform::win

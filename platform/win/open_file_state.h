// What the handle of an open file tells of the file's names, without a look
// at any name: the file change monitor's check (file_change_monitor.cpp).
#pragma once

#include <optional>
#include <string>

#include "platform/win/native.h"

namespace holm::platform::win {

struct OpenFileState {
    // A delete is pending, or no name links to the file any more.
    bool gone = false;
    // The file's path on its volume as the system names it now
    // (FileNameInfo: "\dir\file", no drive).
    std::wstring name;

    bool operator==(const OpenFileState&) const = default;
};

// The state of the file open on `handle`; nullopt (with the error set) when
// the system does not tell.
std::optional<OpenFileState> openFileStateOf(HANDLE handle);

// Whether this system keeps what an open handle tells current when another
// handle renames or deletes its file. Windows does for local volumes; Wine 8
// keeps the name a handle was opened by and reports no pending delete, so
// there nothing can be told from the handle. Found out once per process on a
// file of its own in the temporary directory.
bool openHandlesFollowTheirFile();

// Makes openHandlesFollowTheirFile() answer `follows` from now on (nullopt:
// the system's answer again), so that the monitor's bookkeeping can be
// tested on a system that keeps stale names, with renames made through the
// watched file's own handle.
void assumeOpenHandlesFollowTheirFile(std::optional<bool> follows);

}  // namespace holm::platform::win

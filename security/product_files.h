// Which files are the product's own: they need the product key, whichever
// service opens them and whatever role the caller asks for, so that a plugin
// author's key never stands in for the product's message texts, master
// texts, configuration library, updater or core.
#pragma once

#include <string>
#include <string_view>

#include "security/trust_store.h"

namespace holm::security {

// How this system spells a program's and a library's file name.
#if defined(_WIN32)
#define HOLM_PROGRAM_FILE(base) base ".exe"
#define HOLM_LIBRARY_FILE(base) base ".dll"
#else
#define HOLM_PROGRAM_FILE(base) base
#define HOLM_LIBRARY_FILE(base) base ".so"
#endif

// The names of the product directory's own files.
inline constexpr std::string_view kProductFileNames[] = {
    HOLM_PROGRAM_FILE("avholm"),          // the host program
    HOLM_LIBRARY_FILE("libholmcore"),     // the core library
    "CommonTextRc.dll",                   // the master texts
    "holmmsg.dll",                        // the event message texts
    HOLM_LIBRARY_FILE("libholmcfg"),      // the configuration library
    HOLM_PROGRAM_FILE("holm-cfgupdate"),  // the configuration updater
    "plugins.xml",                        // the plugin list
#if defined(_WIN32)
    "sqlite3.dll",  // the SQLite library (Linux loads the system's)
#endif
};

#undef HOLM_PROGRAM_FILE
#undef HOLM_LIBRARY_FILE

// FileRole::Product when `path` names one of the product files in
// `productDirectory` (compared by the directories' identity, so another
// spelling or a link to the directory changes nothing); `requested`
// otherwise. A plugin's own files elsewhere keep the role asked for.
FileRole roleOfFile(const std::string& path, const std::string& productDirectory,
                    FileRole requested);

}  // namespace holm::security

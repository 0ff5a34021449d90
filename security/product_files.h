// Which files are the product's own: they need the product key, whichever
// service opens them and whatever role the caller asks for, so that a plugin
// author's key never stands in for the product's message texts, master
// texts, configuration library, updater or core.
#pragma once

#include <string>
#include <string_view>

#include "security/trust_store.h"

namespace holm::security {

// The names of the product directory's own files.
inline constexpr std::string_view kProductFileNames[] = {
    "avholm",            // the host program
    "libholmcore.so",    // the core library
    "CommonTextRc.dll",  // the master texts
    "holmmsg.dll",       // the event message texts
    "libholmcfg.so",     // the configuration library
    "holm-cfgupdate",    // the configuration updater
    "plugins.xml",       // the plugin list
};

// FileRole::Product when `path` names one of the product files in
// `productDirectory` (compared by the directories' identity, so another
// spelling or a link to the directory changes nothing); `requested`
// otherwise. A plugin's own files elsewhere keep the role asked for.
FileRole roleOfFile(const std::string& path, const std::string& productDirectory,
                    FileRole requested);

}  // namespace holm::security

// holm-cfgupdate /UPDATEINIBYFILE=<command file>
//
// The configuration updater: applies the commands of an UPDINI command file
// to the product's configuration file (HOLM_CONFIG_FILE, by default
// holm.conf in the data directory; see docs/configuration.md) and replaces
// that file atomically. Nothing is changed unless every command applies.
//
// Exit codes: 0 applied; 1 usage; 2 the command file cannot be read or holds
// no commands; 3 a command is malformed or cannot be written; 4 the
// configuration file cannot be read; 5 it cannot be replaced.
#include <cstdio>
#include <string>

#include "common/path_parts.h"
#include "common/utf16.h"
#include "platform/process_info.h"
#include "product/cfgupdate/update_commands.h"
#include "utilities/product_settings.h"

namespace holm::product::cfgupdate {
namespace {

// The product directory is this program's own directory, as for the host.
std::u16string programDirectory() {
    const std::string program = holm::platform::executablePath();
    return holm::common::utf8ToUtf16(holm::common::directoryWithSlashOf(program));
}

}  // namespace
}  // namespace holm::product::cfgupdate

int main(int argc, char** argv) {
    using namespace holm::product::cfgupdate;
    using namespace holm::product::cfgupdate;
    const auto commandFile = commandFileArgument(argc, argv);
    if (!commandFile) {
        std::fprintf(stderr, "usage: holm-cfgupdate /UPDATEINIBYFILE=<command file>\n");
        return kExitUsage;
    }
    const Tandro::Utilities::ProductSettings settings(programDirectory());
    const std::string configFile = holm::common::utf16ToUtf8(settings.getConfigurationFile());
    const UpdateResult result = updateConfiguration(*commandFile, configFile);
    if (result.exitCode != kExitApplied) {
        std::fprintf(stderr, "holm-cfgupdate: %s\n", result.message.c_str());
    }
    return result.exitCode;
}

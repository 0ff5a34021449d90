// The configuration updater's work: the command file it is given, the
// commands in it, and their application to the configuration file.
//
// A command file is an INI file (UTF-8, or UTF-16 with a byte-order mark)
// with one section "UPDINI" whose keys Cmd0, Cmd1, ... (counting from 0, up
// to the first missing number) hold the commands in the order they apply:
//
//   SECTION:Key=Value   sets Key of SECTION to Value
//   SECTION:Key%d=Value appends Value as the next numbered key of the series
//                       Key0, Key1, ...: the lowest-numbered one not set
//   SECTION:Key         removes Key of SECTION (nothing to remove is fine)
//
// The section runs to the first ':', the key to the first '=' after it.
// Either every command applies and the file is replaced at once, or the
// configuration file stays as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "product/cfglib/ini_document.h"

namespace holm::product::cfgupdate {

// The updater's exit codes.
enum ExitCode : int {
    kExitApplied = 0,           // every command applied, the file replaced
    kExitUsage = 1,             // the command line names no command file
    kExitCommandFileError = 2,  // the command file cannot be read or holds no commands
    kExitBadCommand = 3,        // a command is malformed or cannot be written
    kExitConfigReadError = 4,   // the configuration file cannot be read
    kExitConfigWriteError = 5,  // the configuration file cannot be replaced
};

// Command files above this size are refused: a few thousand commands are
// far below it, and the bound keeps a wrong path from filling memory.
constexpr size_t kMaxCommandFileSize = 4u << 20;

struct Command {
    enum class Kind { Set, SetIndexed, Remove };
    Kind kind = Kind::Set;
    std::u16string section;
    std::u16string key;  // without the "%d" of an indexed command
    std::u16string value;
};

// One command text, or nothing when it is malformed: no ':', an empty key,
// or a section that contains '\' (the configuration addresses values as
// "SECTION\Key").
std::optional<Command> parseCommand(std::u16string_view text);

// The command texts of a command file's bytes, in order (empty when there is
// no section "UPDINI" or no key "Cmd0" in it).
std::vector<std::u16string> readCommandTexts(std::string_view bytes);

struct ApplyResult {
    int exitCode = kExitApplied;
    size_t failedCommand = 0;  // the index of the command that failed
};

// Applies the command texts to `document` in order; at the first one that is
// malformed or cannot be written, stops with kExitBadCommand (the document
// is then partly changed: the caller discards it).
ApplyResult applyCommands(product::cfglib::IniDocument& document,
                          const std::vector<std::u16string>& commands);

struct UpdateResult {
    int exitCode = kExitApplied;
    std::string message;  // what failed, for the updater's error output
};

// The whole run: reads the command file, applies its commands to the
// configuration file and replaces that file atomically. Updaters of one
// configuration file run one at a time (a lock file beside it), so that no
// change is lost between reading and replacing.
UpdateResult updateConfiguration(const std::string& commandFile, const std::string& configFile);

// The command file named on the updater's command line: the argument
// "/UPDATEINIBYFILE=<path>" (switch name in any case), or nothing.
std::optional<std::string> commandFileArgument(int argc, const char* const* argv);

}  // namespace holm::product::cfgupdate

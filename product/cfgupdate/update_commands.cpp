#include "product/cfgupdate/update_commands.h"

#include "common/cfglib_abi.h"
#include "common/utf16.h"
#include "platform/io.h"
#include "product/cfglib/config_file.h"

namespace holm::product::cfgupdate {
namespace {

constexpr std::u16string_view kCommandSection = u"UPDINI";
constexpr std::u16string_view kIndexMarker = u"%d";
constexpr std::u16string_view kFileSwitch = u"/UPDATEINIBYFILE=";

std::u16string valuePath(std::u16string_view section, std::u16string_view key) {
    std::u16string path(section);
    path += u'\\';
    path += key;
    return path;
}

// The lowest-numbered key of the series `key`0, `key`1, ... that is not set.
std::u16string nextIndexedKey(const product::cfglib::IniDocument& document,
                              const Command& command) {
    for (uint64_t index = 0;; ++index) {
        std::u16string candidate = command.key + common::utf8ToUtf16(std::to_string(index));
        if (!document.find(valuePath(command.section, candidate))) {
            return candidate;
        }
    }
}

bool applyCommand(product::cfglib::IniDocument& document, const Command& command) {
    switch (command.kind) {
        case Command::Kind::Set:
            return document.set(valuePath(command.section, command.key), command.value);
        case Command::Kind::SetIndexed:
            return document.set(valuePath(command.section, nextIndexedKey(document, command)),
                                command.value);
        case Command::Kind::Remove:
            // A key that is not there is already as the command wants it.
            (void)document.remove(valuePath(command.section, command.key));
            return true;
    }
    return false;
}

std::string describe(const platform::Error& error) {
    return error.message();
}

}  // namespace

std::optional<Command> parseCommand(std::u16string_view text) {
    const size_t colon = text.find(u':');
    if (colon == std::u16string_view::npos) {
        return std::nullopt;
    }
    Command command;
    command.section = std::u16string(text.substr(0, colon));
    std::u16string_view rest = text.substr(colon + 1);
    const size_t equals = rest.find(u'=');
    std::u16string_view key = rest.substr(0, equals);
    if (equals == std::u16string_view::npos) {
        command.kind = Command::Kind::Remove;
    } else {
        command.value = std::u16string(rest.substr(equals + 1));
        command.kind = Command::Kind::Set;
        if (key.ends_with(kIndexMarker)) {
            command.kind = Command::Kind::SetIndexed;
            key.remove_suffix(kIndexMarker.size());
        }
    }
    command.key = std::u16string(key);
    if (common::trim(command.key).empty() || command.section.find(u'\\') != std::u16string::npos) {
        return std::nullopt;
    }
    return command;
}

std::vector<std::u16string> readCommandTexts(std::string_view bytes) {
    const product::cfglib::IniDocument file = product::cfglib::IniDocument::parse(bytes);
    std::vector<std::u16string> commands;
    for (size_t index = 0;; ++index) {
        const auto command = file.find(
            valuePath(kCommandSection, u"Cmd" + common::utf8ToUtf16(std::to_string(index))));
        if (!command) {
            return commands;
        }
        commands.emplace_back(*command);
    }
}

ApplyResult applyCommands(product::cfglib::IniDocument& document,
                          const std::vector<std::u16string>& commands) {
    for (size_t index = 0; index < commands.size(); ++index) {
        const std::optional<Command> command = parseCommand(commands[index]);
        if (!command || !applyCommand(document, *command)) {
            return {kExitBadCommand, index};
        }
    }
    return {};
}

UpdateResult updateConfiguration(const std::string& commandFile, const std::string& configFile) {
    auto commandBytes = platform::io::readSmallFile(commandFile, kMaxCommandFileSize);
    if (!commandBytes) {
        return {kExitCommandFileError, "cannot read the command file " + commandFile + ": " +
                                           describe(commandBytes.error())};
    }
    const std::vector<std::u16string> commands = readCommandTexts(*commandBytes);
    if (commands.empty()) {
        return {kExitCommandFileError, "the command file " + commandFile + " holds no commands"};
    }
    auto lock = product::cfglib::ConfigurationLock::acquire(configFile);
    if (!lock) {
        return {kExitConfigWriteError,
                "cannot lock the configuration file " + configFile + ": " + describe(lock.error())};
    }
    const product::cfglib::FileContent current = product::cfglib::readConfigurationFile(configFile);
    if (current.error != common::cfglib::kCfgLibOk) {
        return {kExitConfigReadError, "cannot read the configuration file " + configFile +
                                          " (error " + std::to_string(current.error) + ")"};
    }
    product::cfglib::IniDocument document = product::cfglib::IniDocument::parse(current.bytes);
    const ApplyResult applied = applyCommands(document, commands);
    if (applied.exitCode != kExitApplied) {
        return {applied.exitCode, "command Cmd" + std::to_string(applied.failedCommand) + " (" +
                                      common::utf16ToUtf8(commands[applied.failedCommand]) +
                                      ") is malformed or cannot be written; nothing was changed"};
    }
    const int32_t written =
        product::cfglib::replaceConfigurationFile(configFile, document.serialize());
    if (written != common::cfglib::kCfgLibOk) {
        return {kExitConfigWriteError, "cannot replace the configuration file " + configFile +
                                           " (error " + std::to_string(written) + ")"};
    }
    return {};
}

std::optional<std::string> commandFileArgument(int argc, const char* const* argv) {
    std::optional<std::string> found;
    for (int i = 1; i < argc; ++i) {
        const std::u16string argument = common::utf8ToUtf16(argv[i]);
        if (argument.size() > kFileSwitch.size() &&
            common::equalsNoCase(std::u16string_view(argument).substr(0, kFileSwitch.size()),
                                 kFileSwitch)) {
            if (found) {
                return std::nullopt;  // two command files: which one was meant is unclear
            }
            found = common::utf16ToUtf8(std::u16string_view(argument).substr(kFileSwitch.size()));
        } else if (!common::trim(argument).empty()) {
            return std::nullopt;
        }
    }
    return found;
}

}  // namespace holm::product::cfgupdate

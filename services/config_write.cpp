#include "services/config_write.h"

#include <new>

#include "common/format.h"
#include "common/limits.h"
#include "common/utf16.h"
#include "platform/file_system.h"
#include "platform/io.h"
#include "platform/process_info.h"

namespace holm::services {
namespace {

constexpr char16_t kUpdaterName[] = u"#FN_AVCONFIG";

std::u16string_view orEmpty(const char16_t* text) {
    return std::u16string_view(text != nullptr ? text : u"");
}

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

// A command as an INI value: readers drop blanks around a value and one pair
// of enclosing quotes, so such a command is quoted to read back unchanged.
std::u16string asIniValue(const std::u16string& command) {
    const bool quote = !command.empty() &&
                       (isBlank(command.front()) || isBlank(command.back()) ||
                        (command.size() >= 2 && command.front() == u'"' && command.back() == u'"'));
    return quote ? u"\"" + command + u"\"" : command;
}

void appendUtf16Le(std::string& bytes, std::u16string_view text) {
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
}

}  // namespace

CConfigWriteImpl::CConfigWriteImpl(CConfigStore& store, UpdaterLauncher launcher, ServiceLog log)
    : store_(store), launcher_(std::move(launcher)), log_(std::move(log)) {}

void CConfigWriteImpl::clear() {
    commands_.clear();
    lostCommand_ = false;
}

void CConfigWriteImpl::add(std::u16string command) {
    common::checkRoomForOneMore(commands_.size());
    try {
        commands_.push_back(std::move(command));
    } catch (const std::bad_alloc&) {
        lostCommand_ = true;
    }
}

void CConfigWriteImpl::setValue(const char16_t* section, const char16_t* key,
                                const char16_t* value) {
    try {
        add(common::format(u"%s:%s=%s", orEmpty(section), orEmpty(key), orEmpty(value)));
    } catch (const std::bad_alloc&) {
        lostCommand_ = true;
    }
}

void CConfigWriteImpl::setIndexedValue(const char16_t* section, const char16_t* key,
                                       const char16_t* value) {
    try {
        add(common::format(u"%s:%s%s=%s", orEmpty(section), orEmpty(key),
                           std::u16string_view(u"%d"), orEmpty(value)));
    } catch (const std::bad_alloc&) {
        lostCommand_ = true;
    }
}

void CConfigWriteImpl::removeValue(const char16_t* section, const char16_t* key) {
    try {
        add(common::format(u"%s:%s", orEmpty(section), orEmpty(key)));
    } catch (const std::bad_alloc&) {
        lostCommand_ = true;
    }
}

std::optional<std::string> CConfigWriteImpl::commandFileContent(
    const std::vector<std::u16string>& commands) {
    std::string bytes;
    appendUtf16Le(bytes, u"\xFEFF[UPDINI]\r\n");
    for (size_t i = 0; i < commands.size(); ++i) {
        if (commands[i].find_first_of(u"\r\n") != std::u16string::npos) {
            return std::nullopt;
        }
        appendUtf16Le(bytes, common::format(u"Cmd%zu=", i));
        appendUtf16Le(bytes, asIniValue(commands[i]));
        appendUtf16Le(bytes, u"\r\n");
    }
    return bytes;
}

std::u16string CConfigWriteImpl::commandFilePath(const std::u16string& tempDirectory) {
    return common::format(u"%sconfig_write_%u_%u.tmp", std::u16string_view(tempDirectory),
                          platform::currentProcessId(), platform::currentThreadId());
}

bool CConfigWriteImpl::commit() {
    try {
        if (commands_.empty()) {
            return false;
        }
        if (lostCommand_) {
            logFailure(
                u"a configuration change was lost for lack of memory; nothing is committed "
                u"until the changes are cleared");
            return false;
        }
        const std::u16string tempDirectory = store_.tempDirectory();
        if (tempDirectory.empty()) {
            logFailure(u"no temporary folder for the configuration command file");
            return false;
        }
        const std::u16string commandFile = commandFilePath(tempDirectory);
        if (!writeCommandFile(commandFile)) {
            return false;
        }
        const std::u16string updater = store_.resolveFileName(kUpdaterName);
        UpdaterRun run;
        if (updater.empty()) {
            run.failure = "no updater program is named by #FN_AVCONFIG";
        } else {
            run = launcher_(common::format(u"\"%s\" /UPDATEINIBYFILE=\"%s\" ",
                                           std::u16string_view(updater),
                                           std::u16string_view(commandFile)));
        }
        (void)platform::removeFile(common::utf16ToUtf8(commandFile));  // gone whether it ran or not
        if (!run.started) {
            logFailure(common::format(u"the configuration updater %s could not be started: %hs",
                                      std::u16string_view(updater), std::string_view(run.failure)));
        } else if (run.signalled) {
            logFailure(common::format(u"the configuration updater %s was ended by signal %d",
                                      std::u16string_view(updater), run.exitCode));
        } else if (!run.failure.empty()) {
            logFailure(common::format(u"the configuration updater %s: %hs",
                                      std::u16string_view(updater), std::string_view(run.failure)));
        } else if (run.exitCode != 0) {
            logFailure(common::format(u"the configuration updater %s ended with exit code %d",
                                      std::u16string_view(updater), run.exitCode));
        }
        return run.started;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CConfigWriteImpl::writeCommandFile(const std::u16string& path) {
    const std::optional<std::string> content = commandFileContent(commands_);
    if (!content) {
        logFailure(u"a configuration change holds a line break; nothing is committed");
        return false;
    }
    const std::string name = common::utf16ToUtf8(path);
    auto file = platform::io::open(
        name,
        {.access = platform::io::Access::Write, .create = true, .exclusive = true, .mode = 0600});
    if (!file) {
        logFailure(common::format(u"cannot create the configuration command file %s: %hs",
                                  std::u16string_view(path),
                                  std::string_view(file.error().message())));
        return false;
    }
    platform::Status written = platform::io::writeFull(file->get(), *content);
    if (written) {
        written = platform::io::sync(file->get());
    }
    if (!written) {
        file->reset();
        (void)platform::removeFile(name);  // ours: created exclusively above
        logFailure(common::format(u"cannot write the configuration command file %s: %hs",
                                  std::u16string_view(path),
                                  std::string_view(written.error().message())));
        return false;
    }
    return true;
}

void CConfigWriteImpl::logFailure(const std::u16string& text) const {
    if (log_) {
        log_(0, text);
    }
}

}  // namespace holm::services

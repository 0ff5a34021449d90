#include "gateway/av_log.h"

#include "common/path_parts.h"
#include "common/utf16.h"
#include "hlmplg/interface_ids.h"
#include "platform/file_system.h"
#include "platform/process_info.h"

namespace holm::gateway {
namespace {

constexpr size_t kMaximumNameLength = 31;
constexpr size_t kMaximumPathLength = 259;
constexpr int32_t kDefaultMaximumSize = 104857600;  // 100 MiB, with numbered backups
constexpr uint32_t kDirectoryMode = 0750;

// Creates `directory` and every missing parent; what exists already is left
// as it is (a failure shows when the log is opened).
void makeDirectories(const std::u16string& directory) {
    const std::string path = common::utf16ToUtf8(directory);
    // Every separator of the system ends a directory to make ("\\" too on
    // Windows, where a configured directory is usually written with it).
    for (size_t at = 1; at < path.size(); ++at) {
        if (common::isPathSeparator(path[at])) {
            (void)platform::makeDirectory(path.substr(0, at), kDirectoryMode);
        }
    }
    (void)platform::makeDirectory(path, kDirectoryMode);
}

}  // namespace

std::u16string avLogFileName(const std::string& executablePath) {
    std::string name(common::fileNameOf(executablePath));
    if (name.size() > kMaximumNameLength) {
        name.resize(kMaximumNameLength);
    }
    const auto dot = name.find_last_of('.');
    name = dot == std::string::npos ? name + ".log" : name.substr(0, dot + 1) + "log";
    return common::utf8ToUtf16(name);
}

HP2ObjAvLog::HP2ObjAvLog(HlmPlg::ILog* log, HlmPlg::IResString2* strings, HlmPlg::IHlmCore* core)
    : log_(log), strings_(strings), core_(core), executablePath_(platform::executablePath()) {
    if (strings_ != nullptr) {
        const std::u16string library = strings_->getFilePath(u"holmmsg.dll");
        messageLibrary_ = strings_->setResourceLibrary(library.c_str()) ? 1 : 0;
    }
}

HP2ObjAvLog::~HP2ObjAvLog() {
    if (log_ != nullptr) {
        if (opened_ != 0) {
            log_->close();
        }
        core_->releaseInterface(HlmPlg::IID_LOG, log_);
    }
    if (strings_ != nullptr) {
        core_->releaseInterface(HlmPlg::IID_RESSTRING2, strings_);
    }
}

HlmPlg::ILogEvent* HP2ObjAvLog::createEvent() {
    return log_ != nullptr ? log_->createEvent() : nullptr;
}

void HP2ObjAvLog::commitEvent(HlmPlg::ILogEvent* event) {
    if (log_ != nullptr && event != nullptr) {
        log_->commitEvent(&event);
    }
}

uint32_t HP2ObjAvLog::openFromConfig(HlmPlg::IHP2ObjConfig* config) {
    if (log_ == nullptr || config == nullptr) {
        return 0;
    }
    const std::u16string name = avLogFileName(executablePath_);
    if (name == u".log") {
        return 0;  // the program's file name cannot be read
    }
    const char16_t* subdirectory = config->getAppDataSubDir(u"LOGFILES");
    const char16_t* reportDirectory =
        config->readString(u"COMMON", u"ReportDirectory", subdirectory ? subdirectory : u"");
    const std::u16string directory = reportDirectory != nullptr ? reportDirectory : u"";
    makeDirectories(directory);
    const std::u16string path = directory + name;
    if (path.size() > kMaximumPathLength) {
        return 0;  // a cut path would name another file
    }
    const int32_t level = config->readInt(u"HOLM", u"ReportingLevel", 1);
    int32_t maximumSize = config->readInt(u"HOLM", u"MaximumLogFileSize", 0);
    int32_t backup = config->readInt(u"HOLM", u"OnAccessBackupLog", 0);
    if (maximumSize == 0) {
        maximumSize = kDefaultMaximumSize;
        backup = 1;
    }
    return open(path.c_str(), level, maximumSize, static_cast<uint32_t>(backup));
}

uint32_t HP2ObjAvLog::open(const char16_t* path, int32_t level, int32_t maxSize, uint32_t backup) {
    if (log_ == nullptr) {
        return 0;
    }
    if (opened_ != 0) {
        log_->close();
    }
    opened_ = log_->open(path, level, maxSize, backup == 1) ? 1 : 0;
    return opened_;
}

std::u16string HP2ObjAvLog::getMessage(uint32_t id) {
    return strings_ != nullptr && messageLibrary_ != 0 ? strings_->loadString(id)
                                                       : std::u16string();
}

void HP2ObjAvLog::addEventLine(HlmPlg::ILogEvent* event, int32_t level, uint32_t style,
                               uint32_t category, const char16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    addEventLineV(event, level, style, category, format, arguments);
    va_end(arguments);
}

void HP2ObjAvLog::addEventLineV(HlmPlg::ILogEvent* event, int32_t level, uint32_t style,
                                uint32_t category, const char16_t* format, va_list arguments) {
    if (event != nullptr) {
        event->addLineV(level, style, category, format, arguments);
    }
}

void HP2ObjAvLog::addEventLineText(HlmPlg::ILogEvent* event, int32_t level, uint32_t style,
                                   uint32_t category, const char16_t* text) {
    if (event != nullptr) {
        event->addLineText(level, style, category, text);
    }
}

}  // namespace holm::gateway

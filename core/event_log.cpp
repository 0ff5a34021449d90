#include "core/event_log.h"

#include "common/utf16.h"
#include "hlmplg/interface_ids.h"

namespace holm::core {

namespace {

constexpr size_t kMaximumNameLength = 31;
constexpr size_t kMaximumPathLength = 259;
constexpr uint32_t kDefaultMaximumSize = 104857600;

}  // namespace

std::optional<std::u16string> eventLogName(std::string_view executablePath) {
    const auto slash = executablePath.find_last_of('/');
    const std::string_view name =
        slash == std::string_view::npos ? executablePath : executablePath.substr(slash + 1);
    if (name.empty() || name.size() > kMaximumNameLength) {
        return std::nullopt;
    }
    const std::u16string folded = text::toLowerAscii(text::utf8ToUtf16(name));
    if (folded != u"avholm" && folded != u"plansvc") {
        return std::nullopt;
    }
    return folded + u".log";
}

std::optional<EventLogSettings> eventLogSettings(std::u16string_view logName,
                                                 HlmPlg::IConfig& config) {
    const std::u16string defaultDirectory = config.getAppDataSubDir(u"LOGFILES");
    const std::u16string directory =
        config.readString(u"COMMON", u"ReportDirectory", defaultDirectory.c_str());
    EventLogSettings settings;
    settings.path = directory + std::u16string(logName);
    if (settings.path.size() > kMaximumPathLength) {
        return std::nullopt;  // a cut path would name another file
    }
    settings.level = config.readInt(u"HOLM", u"ReportingLevel", 1);
    settings.maximumSize = static_cast<uint32_t>(config.readInt(u"HOLM", u"MaximumLogFileSize", 0));
    settings.backup = config.readInt(u"HOLM", u"OnAccessBackupLog", 0) == 1;
    if (settings.maximumSize == 0) {
        settings.maximumSize = kDefaultMaximumSize;
        settings.backup = true;
    }
    return settings;
}

EventReporter::EventReporter(HlmPlg::IHlmPlg& facade, std::string executablePath)
    : facade_(facade), executablePath_(std::move(executablePath)) {}

EventReporter::~EventReporter() {
    writer_.reset();
    releaseObjects();
}

void EventReporter::report(const EventLine& line) {
    if (writer_ || bind()) {
        writer_->write(line);
    }
}

// Binding is retried at each event until it succeeds, so that a log service
// registered after the manager was made is still used; once bound, the one
// writer serves every event (it alone can rotate the file and keep entries
// pending a rollover).
bool EventReporter::bind() {
    const auto name = eventLogName(executablePath_);
    if (!name || !factory_) {
        return false;
    }
    config_ = facade_.createInterface(owner_, HlmPlg::IID_CONFIG);
    log_ = facade_.createInterface(owner_, HlmPlg::IID_LOG);
    auto* config = dynamic_cast<HlmPlg::IConfig*>(config_);
    if (config != nullptr && log_ != nullptr) {
        if (auto settings = eventLogSettings(*name, *config)) {
            writer_ = factory_(log_, *settings);
        }
    }
    if (!writer_) {
        releaseObjects();
    }
    return writer_ != nullptr;
}

void EventReporter::releaseObjects() {
    if (log_ != nullptr) {
        facade_.releaseInterface(owner_, HlmPlg::IID_LOG, log_);
        log_ = nullptr;
    }
    if (config_ != nullptr) {
        facade_.releaseInterface(owner_, HlmPlg::IID_CONFIG, config_);
        config_ = nullptr;
    }
}

}  // namespace holm::core

#include "core/event_log.h"

#include <array>
#include <climits>
#include <string>

#include "common/format.h"
#include "common/log_text.h"
#include "common/path_parts.h"
#include "common/utf16.h"
#include "hlmplg/interface_ids.h"
#include "hlmplg/log.h"
#include "hlmplg/res_string.h"
#include "platform/process_info.h"

namespace holm::core {

namespace {

constexpr size_t kMaximumNameLength = 31;
constexpr size_t kMaximumPathLength = 259;
constexpr uint32_t kDefaultMaximumSize = 104857600;

}  // namespace

std::optional<std::u16string> eventLogName(std::string_view executablePath) {
    const std::string_view name = common::fileNameOf(executablePath);
    if (name.empty() || name.size() > kMaximumNameLength) {
        return std::nullopt;
    }
    std::u16string folded = common::toLowerAscii(common::utf8ToUtf16(name));
    // The program's name without the system's program suffix (avholm.exe on
    // Windows is the host avholm).
    const std::u16string suffix =
        common::toLowerAscii(common::utf8ToUtf16(platform::programSuffix()));
    if (!suffix.empty() && folded.ends_with(suffix)) {
        folded.resize(folded.size() - suffix.size());
    }
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

namespace {

// An object obtained through the facade, released when the scope ends.
template <class Interface>
class Obtained {
  public:
    Obtained(HlmPlg::IHlmPlg& facade, HlmPlg::CHlmPlg* owner, int32_t id)
        : facade_(facade), owner_(owner), id_(id), object_(facade.createInterface(owner, id)) {}
    ~Obtained() {
        if (object_ != nullptr) {
            facade_.releaseInterface(owner_, id_, object_);
        }
    }
    Obtained(const Obtained&) = delete;
    Obtained& operator=(const Obtained&) = delete;
    Interface* get() const { return dynamic_cast<Interface*>(object_); }

  private:
    HlmPlg::IHlmPlg& facade_;
    HlmPlg::CHlmPlg* owner_;
    int32_t id_;
    HlmPlg::IInterface* object_;
};

int32_t clampedSize(uint32_t size) {
    return size > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(size);
}

}  // namespace

void EventReporter::report(const EventLine& line) {
    const auto name = eventLogName(executablePath_);
    if (!name) {
        return;  // no events for any other program
    }
    Obtained<HlmPlg::IConfig> config(facade_, owner_, HlmPlg::IID_CONFIG);
    Obtained<HlmPlg::ILog> log(facade_, owner_, HlmPlg::IID_LOG);
    if (config.get() == nullptr || log.get() == nullptr) {
        return;
    }
    const auto settings = eventLogSettings(*name, *config.get());
    if (!settings) {
        return;
    }
    // A failed open is not final: the commit tries the file again.
    (void)log.get()->open(settings->path.c_str(), settings->level,
                          clampedSize(settings->maximumSize), settings->backup);
    HlmPlg::ILogEvent* event = log.get()->createEvent();
    if (event == nullptr) {
        return;
    }
    const std::u16string text = eventText(line);
    event->addLineText(static_cast<int32_t>(line.kind.level), line.kind.style, line.kind.category,
                       text.c_str());
    log.get()->commitEvent(&event);
    log.get()->close();
}

std::u16string EventReporter::eventText(const EventLine& line) {
    std::u16string format = line.messageId != 0 ? messageText(line.messageId) : line.text;
    if (format.empty()) {
        format = u"Message " + common::utf8ToUtf16(std::to_string(line.messageId)) + u": %s (%u)";
    }
    // The message library is outside text: its format is applied to typed
    // arguments, so a stray conversion cannot read what was not passed.
    const std::u16string insertion = common::logInsert(line.insertion);
    const std::array<common::FormatArg, 2> arguments{common::detail::makeFormatArg(insertion),
                                                     common::detail::makeFormatArg(line.code)};
    std::u16string out;
    common::appendPrintf(out, format, arguments);
    return out;
}

std::u16string EventReporter::messageText(uint32_t messageId) {
    Obtained<HlmPlg::IResString2> texts(facade_, owner_, HlmPlg::IID_RESSTRING2);
    if (texts.get() == nullptr || !texts.get()->setResourceLibrary(u"holmmsg.dll")) {
        return {};
    }
    return texts.get()->loadString(messageId);
}

}  // namespace holm::core

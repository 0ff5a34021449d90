#include "services/log_impl.h"

#include <cstdarg>
#include <exception>
#include <new>

#include "common/format.h"
#include "common/log_text.h"
#include "common/utf16.h"
#include "platform/errors.h"

namespace holm::services {
namespace {

std::u16string formattedText(const char16_t* format, va_list arguments) {
    try {
        return text::vformatPrintf(format, arguments);
    } catch (const std::exception&) {
        return format != nullptr ? std::u16string(format) : std::u16string();
    }
}

bool containsPercent(const char16_t* text) {
    return text::viewOf(text).find(u'%') != std::u16string_view::npos;
}

}  // namespace

LogCategories::LogCategories(std::u16string_view names) {
    if (names.empty()) {
        names = kDefaultNames;
    }
    size_t start = 0;
    while (true) {
        const size_t end = names.find(u';', start);
        const std::u16string_view name = names.substr(start, end - start);
        prefixes_.push_back(u"[" + text::logInsert(name, 64) + u"] ");
        if (end == std::u16string_view::npos) {
            break;
        }
        start = end + 1;
    }
}

std::u16string_view LogCategories::prefix(uint32_t category) const {
    if (category == 0 || category > prefixes_.size()) {
        return {};
    }
    return prefixes_[category - 1];
}

std::u16string layOutLine(const LogLine& line, const platform::LocalTime& time,
                          const LogCategories& categories) {
    std::u16string out;
    switch (line.style) {
        case HlmPlg::LOG_STYLE_STAMPED:
            out = text::utf8ToUtf16(platform::shortDate(time));
            out += u',';
            out += text::utf8ToUtf16(platform::time24(time));
            out += u' ';
            break;
        case HlmPlg::LOG_STYLE_INDENT2:
            out = u"  ";
            break;
        case HlmPlg::LOG_STYLE_INDENT6:
        case HlmPlg::LOG_STYLE_INDENT6 + 1:
            out = u"      ";
            break;
        default:
            break;
    }
    out += categories.prefix(line.category);
    out += text::reportLineText(line.text);
    return out;
}

// ---- entries ----------------------------------------------------------------

bool CHlmPlgLogEventImpl::accepts(int32_t level) const {
    return log_.reportingLevel() >= level && entry_.level >= level;
}

void CHlmPlgLogEventImpl::addLine(int32_t level, uint32_t style, uint32_t category,
                                  const char16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    addLineV(level, style, category, format, arguments);
    va_end(arguments);
}

void CHlmPlgLogEventImpl::addLineV(int32_t level, uint32_t style, uint32_t category,
                                   const char16_t* format, va_list arguments) {
    if (!accepts(level)) {
        return;
    }
    try {
        std::u16string text = containsPercent(format) ? formattedText(format, arguments)
                                                      : std::u16string(text::viewOf(format));
        entry_.lines.push_back({level, style, category, std::move(text)});
    } catch (const std::bad_alloc&) {
        // The line is lost; nothing may escape to the plugin.
    }
}

void CHlmPlgLogEventImpl::addLineText(int32_t level, uint32_t style, uint32_t category,
                                      const char16_t* text) {
    if (!accepts(level)) {
        return;
    }
    try {
        entry_.lines.push_back({level, style, category, std::u16string(text::viewOf(text))});
    } catch (const std::bad_alloc&) {
    }
}

// ---- the log ----------------------------------------------------------------

CHlmPlgLogImpl::CHlmPlgLogImpl(std::shared_ptr<const LogCategories> categories, AsyncHolder async)
    : categories_(categories ? std::move(categories) : std::make_shared<LogCategories>()),
      async_(std::move(async)) {
    if (async_ && !async_->registerHandler(&handler_)) {
        async_.reset();
    }
}

// The handler goes first (waiting for a delivery that runs on another
// thread), so that no rollover of this object runs any more; what is still
// scheduled then runs here.
CHlmPlgLogImpl::~CHlmPlgLogImpl() {
    if (async_) {
        async_->unregisterHandler(&handler_);
        for (const auto& request : requests_) {
            async_->cancel(request.event);
        }
        async_.reset();
    }
    for (const auto& request : requests_) {
        rollOver(*request.file);
    }
}

bool CHlmPlgLogImpl::open(const char16_t* fileName, int32_t level, int32_t maxSize, bool backup) {
    lastError_ = 0;
    if (text::viewOf(fileName).empty()) {
        lastError_ = platform::WinError::kInvalidParameter;
        return false;
    }
    try {
        auto file = LogFile::forPath(text::utf16ToUtf8(fileName));
        file->setLimits(maxSize, backup);
        const platform::Status opened = file->open();
        {
            MutexLock hold(settingsLock_);
            file_ = std::move(file);
            level_ = level;
        }
        recordFailure(opened);
        return opened.ok();
    } catch (const std::bad_alloc&) {
        lastError_ = platform::WinError::kNotEnoughMemory;
        return false;
    }
}

HlmPlg::ILogEvent* CHlmPlgLogImpl::createEvent() {
    try {
        return new CHlmPlgLogEventImpl(*this, {reportingLevel(), platform::localTimeNow(), {}});
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void CHlmPlgLogImpl::commitEvent(HlmPlg::ILogEvent** event) {
    if (event == nullptr || *event == nullptr) {
        return;
    }
    auto* entry = dynamic_cast<CHlmPlgLogEventImpl*>(*event);
    if (entry != nullptr && &entry->log() == this) {
        commit(entry->takeEntry());
    }
    // An event of another log is still ours to destroy: the caller handed it
    // over and will not touch it again.
    delete *event;
    *event = nullptr;
}

void CHlmPlgLogImpl::log(int32_t level, uint32_t style, uint32_t category, const char16_t* format,
                         ...) {
    va_list arguments;
    va_start(arguments, format);
    logV(level, style, category, format, arguments);
    va_end(arguments);
}

void CHlmPlgLogImpl::logV(int32_t level, uint32_t style, uint32_t category, const char16_t* format,
                          va_list arguments) {
    if (!isLevelEnabled(level)) {
        return;
    }
    try {
        LogEntry entry{reportingLevel(), platform::localTimeNow(), {}};
        entry.lines.push_back({level, style, category, formattedText(format, arguments)});
        commit(std::move(entry));
    } catch (const std::bad_alloc&) {
        lastError_ = platform::WinError::kNotEnoughMemory;
    }
}

void CHlmPlgLogImpl::logText(int32_t level, uint32_t style, uint32_t category,
                             const char16_t* text) {
    if (!isLevelEnabled(level)) {
        return;
    }
    try {
        LogEntry entry{reportingLevel(), platform::localTimeNow(), {}};
        entry.lines.push_back({level, style, category, std::u16string(text::viewOf(text))});
        commit(std::move(entry));
    } catch (const std::bad_alloc&) {
        lastError_ = platform::WinError::kNotEnoughMemory;
    }
}

bool CHlmPlgLogImpl::isLevelEnabled(int32_t level) {
    return reportingLevel() >= level;
}

int32_t CHlmPlgLogImpl::reportingLevel() const {
    MutexLock hold(settingsLock_);
    return level_;
}

std::shared_ptr<LogFile> CHlmPlgLogImpl::currentFile() const {
    MutexLock hold(settingsLock_);
    return file_;
}

void CHlmPlgLogImpl::commit(LogEntry entry) {
    if (entry.lines.empty()) {
        return;
    }
    const auto file = currentFile();
    if (!file) {
        lastError_ = platform::WinError::kInvalidHandle;  // never opened
        return;
    }
    try {
        std::vector<std::u16string> lines;
        lines.reserve(entry.lines.size());
        for (const auto& line : entry.lines) {
            lines.push_back(layOutLine(line, entry.time, *categories_));
        }
        const auto written = file->write(lines);
        recordFailure(written.status);
        if (written.rolloverDue) {
            scheduleRollover(file);
        }
    } catch (const std::bad_alloc&) {
        lastError_ = platform::WinError::kNotEnoughMemory;
    }
}

void CHlmPlgLogImpl::recordFailure(const platform::Status& status) {
    if (!status) {
        lastError_ = status.error().windowsError();
    }
}

void CHlmPlgLogImpl::rollOver(LogFile& file) {
    recordFailure(file.rollover());
}

void CHlmPlgLogImpl::scheduleRollover(std::shared_ptr<LogFile> file) {
    if (async_) {
        MutexLock hold(requestsLock_);
        auto& request = requests_.emplace_back(RolloverRequest{file, nullptr});
        request.event = async_->fireNow(reinterpret_cast<uintptr_t>(&request));
        if (request.event != nullptr) {
            return;
        }
        requests_.pop_back();
    }
    rollOver(*file);  // no dispatcher to hand it to
}

void CHlmPlgLogImpl::runScheduledRollover(uintptr_t user) {
    std::shared_ptr<LogFile> file;
    {
        MutexLock hold(requestsLock_);
        for (auto it = requests_.begin(); it != requests_.end(); ++it) {
            if (reinterpret_cast<uintptr_t>(&*it) == user) {
                file = std::move(it->file);
                requests_.erase(it);
                break;
            }
        }
    }
    if (file) {
        rollOver(*file);
    }
}

bool CHlmPlgLogImpl::RolloverHandler::onAsyncEvent(HlmPlg::IAsyncEvent* event) {
    if (event != nullptr) {
        log_.runScheduledRollover(event->getUserValue());
    }
    return true;
}

}  // namespace holm::services

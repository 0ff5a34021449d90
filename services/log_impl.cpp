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

// What a thread lays its entries out in, kept from one commit to the next so
// that a commit allocates nothing once the buffers have grown.
struct LayoutBuffers {
    std::u16string block;  // the entry's lines, each ending in CR LF
    // The stamp text of the last second laid out on this thread.
    platform::LocalTime stampTime;
    std::u16string stamp;
};

LayoutBuffers& layoutBuffers() {
    thread_local LayoutBuffers buffers;
    return buffers;
}

// The formatted text at the end of `out`; the format itself when it cannot
// be formatted.
void appendFormatted(std::u16string& out, const char16_t* format, va_list arguments) {
    const size_t start = out.size();
    try {
        common::vappendPrintf(out, format, arguments);
    } catch (const std::exception&) {
        out.resize(start);
        out.append(common::viewOf(format));
    }
}

bool containsPercent(const char16_t* text) {
    return common::viewOf(text).find(u'%') != std::u16string_view::npos;
}

// "<short date>,<HH:MM:SS> ", made once per second and thread.
void appendStamp(std::u16string& out, const platform::LocalTime& time, LayoutBuffers& buffers) {
    if (buffers.stamp.empty() || !platform::sameSecond(buffers.stampTime, time)) {
        buffers.stamp.clear();
        common::appendUtf8ToUtf16(buffers.stamp, platform::shortDate(time));
        buffers.stamp += u',';
        common::appendUtf8ToUtf16(buffers.stamp, platform::time24(time));
        buffers.stamp += u' ';
        buffers.stampTime = time;
    }
    out += buffers.stamp;
}

// The stamp or indent and the category prefix of a line, at the end of `out`.
void appendLineStart(std::u16string& out, uint32_t style, uint32_t category,
                     const platform::LocalTime& time, const LogCategories& categories,
                     LayoutBuffers& buffers) {
    switch (style) {
        case HlmPlg::LOG_STYLE_STAMPED:
            appendStamp(out, time, buffers);
            break;
        case HlmPlg::LOG_STYLE_INDENT2:
            out += u"  ";
            break;
        case HlmPlg::LOG_STYLE_INDENT6:
        case HlmPlg::LOG_STYLE_INDENT6 + 1:
            out += u"      ";
            break;
        default:
            break;
    }
    out += categories.prefix(category);
}

// One line laid out at the end of `out`, without its line end.
void appendLine(std::u16string& out, uint32_t style, uint32_t category, std::u16string_view text,
                const platform::LocalTime& time, const LogCategories& categories,
                LayoutBuffers& buffers) {
    appendLineStart(out, style, category, time, categories, buffers);
    common::appendReportLineText(out, text);
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
        prefixes_.push_back(u"[" + common::logInsert(name, 64) + u"] ");
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
    appendLine(out, line.style, line.category, line.text, time, categories, layoutBuffers());
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
        std::u16string text;
        if (containsPercent(format)) {
            appendFormatted(text, format, arguments);
        } else {
            text.assign(common::viewOf(format));
        }
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
        entry_.lines.push_back({level, style, category, std::u16string(common::viewOf(text))});
    } catch (const std::bad_alloc&) {
    }
}

// ---- the log ----------------------------------------------------------------

CHlmPlgLogImpl::CHlmPlgLogImpl(std::shared_ptr<const LogCategories> categories, AsyncHolder async)
    : categories_(categories ? std::move(categories) : std::make_shared<LogCategories>()),
      settings_(std::make_shared<const Settings>()),
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
            if (request.event != nullptr) {
                async_->cancel(request.event);
            }
        }
        async_.reset();
    }
    for (const auto& request : requests_) {
        rollOver(*request.file);
    }
}

bool CHlmPlgLogImpl::open(const char16_t* fileName, int32_t level, int32_t maxSize, bool backup) {
    lastError_ = 0;
    if (common::viewOf(fileName).empty()) {
        lastError_ = platform::WinError::kInvalidParameter;
        return false;
    }
    try {
        auto file = LogFile::forPath(common::utf16ToUtf8(fileName));
        file->setLimits(maxSize, backup);
        const platform::Status opened = file->open();
        settings_.publish(std::make_shared<const Settings>(Settings{level, std::move(file)}));
        settings_.reclaim();  // the file replaced goes here unless a commit still holds it
        recordFailure(opened);
        return opened.ok();
    } catch (const std::bad_alloc&) {
        lastError_ = platform::WinError::kNotEnoughMemory;
        return false;
    }
}

HlmPlg::ILogEvent* CHlmPlgLogImpl::createEvent() {
    try {
        return new CHlmPlgLogEventImpl(*this,
                                       {reportingLevel(), platform::localTimeNowCoarse(), {}});
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
    writeLine(level, [&](std::u16string& block, LayoutBuffers& buffers) {
        // Stamps show seconds: the per-tick clock serves them at a fraction
        // of the exact clock's cost. The text is formatted straight after
        // the line's start and made safe where it stands.
        appendLineStart(block, style, category, platform::localTimeNowCoarse(), *categories_,
                        buffers);
        const size_t textStart = block.size();
        appendFormatted(block, format, arguments);
        common::makeReportLineText(block, textStart);
    });
}

void CHlmPlgLogImpl::logText(int32_t level, uint32_t style, uint32_t category,
                             const char16_t* text) {
    writeLine(level, [&](std::u16string& block, LayoutBuffers& buffers) {
        appendLine(block, style, category, common::viewOf(text), platform::localTimeNowCoarse(),
                   *categories_, buffers);
    });
}

// One line of `level` laid out by `layOut` in the thread's buffer and
// written, if the reporting level takes it.
template <class LayOut>
void CHlmPlgLogImpl::writeLine(int32_t level, LayOut&& layOut) {
    withSettings([&](const Settings& settings) {
        if (settings.level < level) {
            return;
        }
        try {
            LayoutBuffers& buffers = layoutBuffers();
            buffers.block.clear();
            layOut(buffers.block, buffers);
            buffers.block += u"\r\n";
            writeBlock(settings.file, buffers.block);
        } catch (const std::bad_alloc&) {
            lastError_ = platform::WinError::kNotEnoughMemory;
        }
    });
}

bool CHlmPlgLogImpl::isLevelEnabled(int32_t level) {
    return reportingLevel() >= level;
}

int32_t CHlmPlgLogImpl::reportingLevel() const {
    return withSettings([](const Settings& settings) { return settings.level; });
}

void CHlmPlgLogImpl::commit(LogEntry entry) {
    if (entry.lines.empty()) {
        return;
    }
    withSettings([&](const Settings& settings) {
        if (!settings.file) {
            lastError_ = platform::WinError::kInvalidHandle;  // never opened
            return;
        }
        try {
            LayoutBuffers& buffers = layoutBuffers();
            buffers.block.clear();
            for (const auto& line : entry.lines) {
                appendLine(buffers.block, line.style, line.category, line.text, entry.time,
                           *categories_, buffers);
                buffers.block += u"\r\n";
            }
            writeBlock(settings.file, buffers.block);
        } catch (const std::bad_alloc&) {
            lastError_ = platform::WinError::kNotEnoughMemory;
        }
    });
}

void CHlmPlgLogImpl::writeBlock(const std::shared_ptr<LogFile>& file, std::u16string_view block) {
    if (!file) {
        lastError_ = platform::WinError::kInvalidHandle;  // never opened
        return;
    }
    const auto written = file->write(block);
    recordFailure(written.status);
    if (written.rolloverDue) {
        scheduleRollover(file);
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

// The request is listed before the dispatcher is asked and fireNow runs
// without the requests lock: its delivery may run before fireNow returns,
// and code that fireNow calls may commit to this log and schedule again.
void CHlmPlgLogImpl::scheduleRollover(std::shared_ptr<LogFile> file) {
    if (async_) {
        uintptr_t number = 0;
        {
            common::MutexLock hold(requestsLock_);
            number = ++lastRequest_;
            requests_.push_back(RolloverRequest{number, file, nullptr});
        }
        HlmPlg::IAsyncEvent* event = async_->fireNow(number);
        common::MutexLock hold(requestsLock_);
        if (event != nullptr) {
            for (auto& request : requests_) {
                if (request.number == number) {
                    request.event = event;  // not delivered yet: the destructor may cancel it
                    break;
                }
            }
            return;
        }
        (void)takeRequest(number);
    }
    rollOver(*file);  // no dispatcher to hand it to
}

std::shared_ptr<LogFile> CHlmPlgLogImpl::takeRequest(uintptr_t number) {
    for (auto it = requests_.begin(); it != requests_.end(); ++it) {
        if (it->number == number) {
            auto file = std::move(it->file);
            requests_.erase(it);
            return file;
        }
    }
    return nullptr;
}

void CHlmPlgLogImpl::runScheduledRollover(uintptr_t number) {
    std::shared_ptr<LogFile> file;
    {
        common::MutexLock hold(requestsLock_);
        file = takeRequest(number);
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

// The report log service (ILog, id 18) and its entries (ILogEvent).
//
// A CHlmPlgLogImpl writes through the process's shared LogFile of the path
// it was opened on. Size control runs on the dispatcher's time worker: a
// commit whose size check finds the file too large asks the object's IAsync
// for one delivery, and the delivery rolls the file over. An object
// destroyed while its rollover is still scheduled runs it itself before it
// goes. Without an IAsync (no dispatcher) entries are still written and the
// rollover runs on the committing thread.
//
// Every line's text is escaped and cut like any log line (common/log_text.h),
// so one line of a report is one line of the file whatever a plugin passes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/mutex.h"
#include "common/published.h"
#include "hlmplg/async.h"
#include "hlmplg/log.h"
#include "platform/local_time.h"
#include "services/log_file.h"

namespace holm::services {

// The category prefixes "[NAME] " from a ';'-separated list of names (the
// message library's string 228); an empty list gives the default names
// INFO, WARNING, ERROR and DETECTION.
class LogCategories {
  public:
    // The number of the names in the message library.
    static constexpr uint32_t kMessageId = 228;
    static constexpr std::u16string_view kDefaultNames = u"INFO;WARNING;ERROR;DETECTION";

    explicit LogCategories(std::u16string_view names = {});
    // The prefix of category n (1-based); empty for 0 and unnamed numbers.
    std::u16string_view prefix(uint32_t category) const;

  private:
    std::vector<std::u16string> prefixes_;
};

struct LogLine {
    int32_t level = 0;
    uint32_t style = 0;
    uint32_t category = 0;
    std::u16string text;
};

struct LogEntry {
    int32_t level = 0;  // the reporting level when the entry was made
    platform::LocalTime time;
    std::vector<LogLine> lines;
};

// The line as it is written (without its line end), by style: 5 stamps it
// with the entry's date and time, 2 indents by two blanks, 3 and 4 by six.
std::u16string layOutLine(const LogLine& line, const platform::LocalTime& time,
                          const LogCategories& categories);

class CHlmPlgLogImpl;

class CHlmPlgLogEventImpl : public HlmPlg::ILogEvent {
  public:
    CHlmPlgLogEventImpl(CHlmPlgLogImpl& log, LogEntry entry)
        : log_(log), entry_(std::move(entry)) {}

    void addLine(int32_t level, uint32_t style, uint32_t category, const char16_t* format,
                 ...) override;
    void addLineV(int32_t level, uint32_t style, uint32_t category, const char16_t* format,
                  va_list arguments) override;
    void addLineText(int32_t level, uint32_t style, uint32_t category,
                     const char16_t* text) override;

    CHlmPlgLogImpl& log() const { return log_; }
    LogEntry takeEntry() { return std::move(entry_); }

  private:
    bool accepts(int32_t level) const;

    CHlmPlgLogImpl& log_;
    LogEntry entry_;
};

class CHlmPlgLogImpl : public HlmPlg::ILog {
  public:
    using AsyncHolder = std::unique_ptr<HlmPlg::IAsync, std::function<void(HlmPlg::IAsync*)>>;

    // `async` (may be null) schedules rollovers; `categories` are shared by
    // the logs of a core.
    CHlmPlgLogImpl(std::shared_ptr<const LogCategories> categories, AsyncHolder async);
    ~CHlmPlgLogImpl() override;
    CHlmPlgLogImpl(const CHlmPlgLogImpl&) = delete;
    CHlmPlgLogImpl& operator=(const CHlmPlgLogImpl&) = delete;

    bool open(const char16_t* fileName, int32_t level, int32_t maxSize, bool backup) override;
    bool close() override { return true; }
    HlmPlg::ILogEvent* createEvent() override;
    void commitEvent(HlmPlg::ILogEvent** event) override;
    void log(int32_t level, uint32_t style, uint32_t category, const char16_t* format,
             ...) override;
    void logV(int32_t level, uint32_t style, uint32_t category, const char16_t* format,
              va_list arguments) override;
    void logText(int32_t level, uint32_t style, uint32_t category, const char16_t* text) override;
    bool isLevelEnabled(int32_t level) override;
    uint32_t getLastError() override { return lastError_.load(); }

    int32_t reportingLevel() const;
    // Lays out and writes the entry; an entry without lines writes nothing.
    void commit(LogEntry entry);

  private:
    class RolloverHandler : public HlmPlg::IAsyncHandler {
      public:
        explicit RolloverHandler(CHlmPlgLogImpl& log) : log_(log) {}
        bool onAsyncEvent(HlmPlg::IAsyncEvent* event) override;

      private:
        CHlmPlgLogImpl& log_;
    };
    // A rollover asked of the dispatcher, for the file it was due on. The
    // number is the delivery's user value; the event is known once fireNow
    // has returned, and only for a request not delivered by then.
    struct RolloverRequest {
        uintptr_t number = 0;
        std::shared_ptr<LogFile> file;
        HlmPlg::IAsyncEvent* event = nullptr;
    };

    // The reporting level and the file, replaced together by open.
    struct Settings {
        int32_t level = 0;
        std::shared_ptr<LogFile> file;
    };
    // Runs `use(settings)` with the current settings held for the call: read
    // without a lock or a counted reference, so that commits on several
    // threads share nothing but the file's own lock. Settings that open
    // replaces meanwhile stay alive until the call returns.
    template <class Use>
    auto withSettings(Use&& use) const {
        const auto reader = settings_.read();
        if (reader.acquired()) {
            return use(*reader.get());
        }
        const auto shared = settings_.share();  // calls nested deeper than the slots
        return use(*shared);
    }
    template <class LayOut>
    void writeLine(int32_t level, LayOut&& layOut);
    // Writes lines laid out (each ending in CR LF) to `file`.
    void writeBlock(const std::shared_ptr<LogFile>& file, std::u16string_view block);
    void scheduleRollover(std::shared_ptr<LogFile> file) EXCLUDES(requestsLock_);
    void runScheduledRollover(uintptr_t number) EXCLUDES(requestsLock_);
    // The file of request `number`, taken off the list; null when it is not
    // listed (delivered already).
    std::shared_ptr<LogFile> takeRequest(uintptr_t number) REQUIRES(requestsLock_);
    void rollOver(LogFile& file);
    void recordFailure(const platform::Status& status);

    const std::shared_ptr<const LogCategories> categories_;
    // Always set: a log not opened yet has level 0 and no file.
    common::Published<const Settings> settings_;
    std::atomic<uint32_t> lastError_{0};

    RolloverHandler handler_{*this};
    common::Mutex requestsLock_;
    std::vector<RolloverRequest> requests_ GUARDED_BY(requestsLock_);
    uintptr_t lastRequest_ GUARDED_BY(requestsLock_) = 0;
    AsyncHolder async_;
};

}  // namespace holm::services

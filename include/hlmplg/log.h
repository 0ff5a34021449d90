// Report logs (interface id 18): a text file of lines grouped into entries,
// each line optionally stamped with its entry's date and time and tagged with
// a category name in square brackets ("[ERROR] ").
//
// Every ILog opened on the same path in a process shares one writer: entries
// of all of them are written whole and in the order they were committed, and
// one rollover keeps the file under its maximum size (numbered backups
// "name0001.ext" to "name0004.ext", or trimming the oldest lines). An entry is
// in the file when commitEvent (or log) returns.
//
// A line's text is written on one line of the file: a line end or another
// control character in it is written as an escape ("\n", "\r", "\xHH" for the
// other C0 and C1 controls and DEL, "\uHHHH" for the line and paragraph
// separators and the bidirectional controls); a backslash is written as it
// is, so escapes are for reading, not for reversing. A tab stays a tab (the
// same text shown on the host's standard error has it as "\t"). A line's text
// is cut after 16,384 UTF-16 units (escapes count as the units they take),
// followed by "...[cut N more]" with N the number of units of the text left
// out.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "hlmplg/export.h"
#include "hlmplg/interface.h"

namespace HlmPlg {

// Line styles: how a line is laid out before its category prefix.
enum LogStyle : uint32_t {
    LOG_STYLE_PLAIN = 0,    // prefix and text
    LOG_STYLE_INDENT2 = 2,  // two blanks, prefix, text
    LOG_STYLE_INDENT6 = 3,  // six blanks, prefix, text (4 alike)
    LOG_STYLE_STAMPED = 5,  // "<date>,<time> ", prefix, text
};

// Categories 1 to 4 under the default names; 0 and any number without a name
// give no prefix.
enum LogCategory : uint32_t {
    LOG_CATEGORY_NONE = 0,
    LOG_CATEGORY_INFO = 1,
    LOG_CATEGORY_WARNING = 2,
    LOG_CATEGORY_ERROR = 3,
    LOG_CATEGORY_DETECTION = 4,
};

// One entry under construction, from ILog::createEvent to ILog::commitEvent.
// Destroying it without a commit discards its lines. One thread at a time.
class HLMPLG_API ILogEvent {
  public:
    virtual ~ILogEvent() = default;
    // Adds a line unless its level is above the log's reporting level or the
    // entry's own level. A text containing '%' is formatted with printf rules
    // (%s a UTF-16 text).
    virtual void addLine(int32_t level, uint32_t style, uint32_t category, const char16_t* format,
                         ...) = 0;
    virtual void addLineV(int32_t level, uint32_t style, uint32_t category, const char16_t* format,
                          va_list arguments) = 0;
    // The text as it is, without formatting.
    virtual void addLineText(int32_t level, uint32_t style, uint32_t category,
                             const char16_t* text) = 0;
};

// Any thread may use an ILog; entries are written whole.
class HLMPLG_API ILog : public IInterface {
  public:
    // Opens (creating it as UTF-16 with a byte-order mark if missing) the
    // report file `fileName` with the reporting level, the maximum size in
    // bytes (0 or less: no size control) and the size-control mode (backup
    // true: numbered backups; false: trimming). May be called again to change
    // them. False with getLastError set when the file cannot be opened for
    // writing; later commits still try to open it.
    virtual bool open(const char16_t* fileName, int32_t level, int32_t maxSize, bool backup) = 0;
    // No effect; true.
    virtual bool close() = 0;
    // A new entry stamped with the current local time; null if it cannot be
    // made. Hand it back through commitEvent.
    virtual ILogEvent* createEvent() = 0;
    // Writes the entry (if it has lines), destroys it and sets *event to null.
    virtual void commitEvent(ILogEvent** event) = 0;
    // One-line entries: the text formatted with printf rules, or as it is.
    virtual void log(int32_t level, uint32_t style, uint32_t category, const char16_t* format,
                     ...) = 0;
    virtual void logV(int32_t level, uint32_t style, uint32_t category, const char16_t* format,
                      va_list arguments) = 0;
    virtual void logText(int32_t level, uint32_t style, uint32_t category,
                         const char16_t* text) = 0;
    // Whether a line of `level` is written: reporting level >= level.
    virtual bool isLevelEnabled(int32_t level) = 0;
    // The Windows error number of the last failed open or write; 0 when
    // there was none since open.
    virtual uint32_t getLastError() = 0;
};

static_assert(sizeof(ILog) == sizeof(IInterface));
static_assert(sizeof(ILogEvent) == sizeof(void*));

}  // namespace HlmPlg

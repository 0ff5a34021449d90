// IDebug (id 9): a plugin's diagnostic lines, passed to the host's log tagged
// with the plugin's name. Formats follow the printf rules of the SDK: in a
// UTF-16 format %s is a UTF-16 text and %S a narrow one. The narrow
// operations take a UTF-8 format that is converted to UTF-16 before use, so
// the same rule holds there: traceNarrow(1, "[%S] %s", "narrow", u"wide").
// "%%" gives one "%".
#pragma once

#include <cstdarg>
#include <cstdint>

#include "hlmplg/export.h"
#include "hlmplg/interface.h"

namespace HlmPlg {

// Lines go to the host's log with `level` (0 failures and important events,
// 1 routine progress); without a host they are dropped. Any thread may call.
class HLMPLG_API IDebug : public IInterface {
  public:
    virtual void trace(uint32_t level, const char16_t* format, ...) = 0;
    // `trace` with level 0.
    virtual void traceDefault(const char16_t* format, ...) = 0;
    virtual void traceV(uint32_t level, const char16_t* format, va_list arguments) = 0;
    virtual void traceNarrow(uint32_t level, const char* format, ...) = 0;
    // `traceNarrow` with level 0.
    virtual void traceNarrowDefault(const char* format, ...) = 0;
    virtual void traceNarrowV(uint32_t level, const char* format, va_list arguments) = 0;
};

static_assert(sizeof(IDebug) == sizeof(IInterface));

}  // namespace HlmPlg

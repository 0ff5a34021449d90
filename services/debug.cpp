#include "services/debug.h"

#include "common/format.h"
#include "common/log_text.h"

namespace holm::services {

CHlmPlgDebug::CHlmPlgDebug(DebugLinks links) : links_(std::move(links)) {}

void CHlmPlgDebug::trace(uint32_t level, const char16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    traceV(level, format, arguments);
    va_end(arguments);
}

void CHlmPlgDebug::traceDefault(const char16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    traceV(0, format, arguments);
    va_end(arguments);
}

void CHlmPlgDebug::traceV(uint32_t level, const char16_t* format, va_list arguments) {
    traceSourceV(level, source().c_str(), format, arguments);
}

void CHlmPlgDebug::traceNarrow(uint32_t level, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    traceNarrowV(level, format, arguments);
    va_end(arguments);
}

void CHlmPlgDebug::traceNarrowDefault(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    traceNarrowV(0, format, arguments);
    va_end(arguments);
}

// A narrow format is converted to UTF-16 before use, so its arguments follow
// the UTF-16 rules: %s reads UTF-16 text, %S narrow text.
void CHlmPlgDebug::traceNarrowV(uint32_t level, const char* format, va_list arguments) {
    if (!links_.host || links_.host() == nullptr) {
        return;  // nobody to tell: not even formatted
    }
    const std::u16string name = source();
    send(level, name.c_str(), common::vformatPrintfNarrowToWide(format, arguments));
}

void CHlmPlgDebug::traceSource(uint32_t level, const char16_t* source, const char16_t* format,
                               ...) {
    va_list arguments;
    va_start(arguments, format);
    traceSourceV(level, source, format, arguments);
    va_end(arguments);
}

void CHlmPlgDebug::traceSourceV(uint32_t level, const char16_t* source, const char16_t* format,
                                va_list arguments) {
    if (!links_.host || links_.host() == nullptr) {
        return;
    }
    send(level, source, common::vformatPrintf(format, arguments));
}

std::u16string CHlmPlgDebug::source() const {
    if (m_owner == nullptr || !links_.ownerName) {
        return {};
    }
    return links_.ownerName(m_owner);
}

// The plugin's name and text are outside text: the line is made safe for the
// log before the host sees it.
void CHlmPlgDebug::send(uint32_t level, const char16_t* source, const std::u16string& text) {
    HlmPlg::IHlmCoreHandler* host = links_.host ? links_.host() : nullptr;
    if (host == nullptr) {
        return;
    }
    const std::u16string safeSource = common::logInsert(source != nullptr ? source : u"");
    host->log(level, safeSource.c_str(), common::logLineText(text).c_str());
}

}  // namespace holm::services

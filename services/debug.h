// Debug support (interface id 9): plugins' diagnostic lines to the host's
// log, tagged with the plugin's name.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

#include "hlmplg/core.h"
#include "hlmplg/debug.h"

namespace holm::services {

// What a debug object needs of the core: the host's handler at the moment of
// a line (null without one), and a plugin's name asked through the plugin
// boundary (empty when the call fails).
struct DebugLinks {
    std::function<HlmPlg::IHlmCoreHandler*()> host;
    std::function<std::u16string(HlmPlg::CHlmPlg*)> ownerName;
};

// Every operation formats once, through the one formatting engine, and ends
// in traceSourceV. The object keeps no state of its own: calls from several
// threads reach the host's handler concurrently.
class CHlmPlgDebug : public HlmPlg::IDebug {
  public:
    explicit CHlmPlgDebug(DebugLinks links);

    void trace(uint32_t level, const char16_t* format, ...) override;
    void traceDefault(const char16_t* format, ...) override;
    void traceV(uint32_t level, const char16_t* format, va_list arguments) override;
    void traceNarrow(uint32_t level, const char* format, ...) override;
    void traceNarrowDefault(const char* format, ...) override;
    void traceNarrowV(uint32_t level, const char* format, va_list arguments) override;

    // The common end: formats and sends (level, source, text) to the host.
    void traceSource(uint32_t level, const char16_t* source, const char16_t* format, ...);
    void traceSourceV(uint32_t level, const char16_t* source, const char16_t* format,
                      va_list arguments);

  private:
    // The owner plugin's name; empty without an owner.
    std::u16string source() const;
    void send(uint32_t level, const char16_t* source, const std::u16string& text);

    DebugLinks links_;
};

}  // namespace holm::services

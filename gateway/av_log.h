// "IAvLog" of the gateway: the core's report log (id 18) with message texts
// of "holmmsg.dll" (id 21) for second-generation plugins.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "hlmplg/core.h"
#include "hlmplg/gateway.h"
#include "hlmplg/log.h"
#include "hlmplg/plugin2.h"
#include "hlmplg/res_string.h"

namespace holm::gateway {

// The log file's name for the host program at `executablePath`: its file
// name (at most 31 characters) with the text after the last dot replaced by
// "log", or ".log" appended when it has no dot ("avholm" gives
// "avholm.log").
std::u16string avLogFileName(const std::string& executablePath);

class HP2ObjAvLog final : public HlmPlg::RefCounted<HlmPlg::IHP2ObjAvLog> {
  public:
    // Takes over both service objects (either may be null); sets the message
    // library "holmmsg.dll" on the resource strings.
    HP2ObjAvLog(HlmPlg::ILog* log, HlmPlg::IResString2* strings, HlmPlg::IHlmCore* core);

    const char* getTypeName() override { return HlmPlg::kGatewayAvLog; }
    HlmPlg::ILogEvent* createEvent() override;
    void commitEvent(HlmPlg::ILogEvent* event) override;
    uint32_t openFromConfig(HlmPlg::IHP2ObjConfig* config) override;
    uint32_t open(const char16_t* path, int32_t level, int32_t maxSize, uint32_t backup) override;
    std::u16string getMessage(uint32_t id) override;
    void addEventLine(HlmPlg::ILogEvent* event, int32_t level, uint32_t style, uint32_t category,
                      const char16_t* format, ...) override;
    void addEventLineV(HlmPlg::ILogEvent* event, int32_t level, uint32_t style, uint32_t category,
                       const char16_t* format, va_list arguments) override;
    void addEventLineText(HlmPlg::ILogEvent* event, int32_t level, uint32_t style,
                          uint32_t category, const char16_t* text) override;

    // Where openFromConfig takes the program's name from (tests set it).
    void setExecutablePath(std::string path) { executablePath_ = std::move(path); }

  private:
    ~HP2ObjAvLog() override;

    HlmPlg::ILog* log_;
    HlmPlg::IResString2* strings_;
    HlmPlg::IHlmCore* core_;
    uint32_t opened_ = 0;
    uint32_t messageLibrary_ = 0;
    std::string executablePath_;
};

}  // namespace holm::gateway

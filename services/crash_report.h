// Crash reports: a file per reported processor fault (the system's own
// process dump where it has one, a text report otherwise), written from the
// fault record after the fault guard has returned to normal context, when
// the debug switch "createMiniDump" (HKLM\SOFTWARE\_avdebug) is exactly 1.
//
// The report lies in the data directory's subdirectory TEMP and is named
// "<program>_YYYYMMDD_HHMMSS.dmp" (program base name without extension, local
// time, all in lower case); a second report in the same second gets "_2",
// "_3", ... before ".dmp" instead of replacing the first. It is written under
// a temporary name and renamed: a failed write leaves no file. Its format is
// described in docs/crash-reports.md; every code address comes with its
// module and the offset that `addr2line -f -e <module> <offset>` resolves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hlmplg/fault_record.h"
#include "platform/local_time.h"
#include "platform/result.h"
#include "platform/shared_library.h"

namespace holm::services {

// The debug switch that turns reports on, and its value for "on".
inline constexpr char16_t kCreateMiniDumpValue[] = u"createMiniDump";
inline constexpr int32_t kCrashReportsOn = 1;

// What a report says besides the fault record.
struct CrashContext {
    std::string program;  // the program's path
    uint32_t processId = 0;
    uint32_t threadId = 0;
    platform::LocalTime time;
    std::u16string place;  // where the fault was caught, e.g. "CPlugin(x)::start"
    std::vector<platform::ModuleImage> modules;
};

// The facts of the running process and thread, now.
CrashContext currentCrashContext(std::u16string_view place);

// "<program base name>_YYYYMMDD_HHMMSS.dmp" in lower case.
std::string crashReportName(std::string_view programPath, const platform::LocalTime& time);

// The report's text.
std::string formatCrashReport(const HlmPlg::FaultRecord& fault, const CrashContext& context);

// Writes the report into `directory` (ends in '/') and returns its path.
// Reports are written one at a time in the process; gathering the facts runs
// under a fault guard, so a fault while the report is made loses only the
// report.
platform::Result<std::string> writeCrashReport(const std::string& directory,
                                               const HlmPlg::FaultRecord& fault,
                                               std::u16string_view place);

// "createMiniDump" under the debug key as a 32-bit value; -1 when the store,
// the key or the value is missing or not a DWORD.
int32_t crashReportSwitch();

// The whole step of a fault report: reads the switch and, when it is exactly
// 1, writes the report into the TEMP subdirectory of the data directory
// (through a configuration store made for the purpose; created if missing).
// Returns the path written, nothing when the switch is off or the report
// could not be written (nothing is reported then, and no file is left).
std::optional<std::string> writeMiniDump(const HlmPlg::FaultRecord& fault,
                                         std::u16string_view place);

}  // namespace holm::services

#include "services/crash_report.h"

#include <cstdio>

#include "common/mutex.h"
#include "common/path_parts.h"
#include "common/utf16.h"
#include "platform/atomic_file.h"
#include "platform/crash_dump.h"
#include "platform/fault_guard.h"
#include "platform/file_system.h"
#include "platform/process_info.h"
#include "registry/registry.h"
#include "services/config_store.h"
#include "services/exception_names.h"
#include "utilities/di_container.h"
#include "utilities/master_text_reader.h"
#include "utilities/product_settings.h"

namespace holm::services {

namespace {

constexpr char16_t kDebugKey[] = u"SOFTWARE\\_avdebug";
// Names tried after the plain one when reports of the same second exist.
constexpr int kMaxSameSecondReports = 99;

std::string hex(uint64_t value, int digits = 16) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string baseNameWithoutExtension(std::string_view path) {
    std::string_view name = common::fileNameOf(path);
    const size_t dot = name.find_last_of('.');
    if (dot != std::string_view::npos && dot != 0) {
        name = name.substr(0, dot);
    }
    return std::string(name);
}

void appendRegisters(std::string& out, const HlmPlg::FaultRegisters& r) {
    const std::pair<const char*, uint64_t> registers[] = {
        {"rax", r.rax}, {"rbx", r.rbx}, {"rcx", r.rcx},       {"rdx", r.rdx}, {"rsi", r.rsi},
        {"rdi", r.rdi}, {"rbp", r.rbp}, {"rsp", r.rsp},       {"r8", r.r8},   {"r9", r.r9},
        {"r10", r.r10}, {"r11", r.r11}, {"r12", r.r12},       {"r13", r.r13}, {"r14", r.r14},
        {"r15", r.r15}, {"rip", r.rip}, {"eflags", r.eflags},
    };
    out += "registers:\n";
    int column = 0;
    for (const auto& [name, value] : registers) {
        char cell[48];
        std::snprintf(cell, sizeof cell, "%s%-6s %s", column == 0 ? "  " : "  ", name,
                      hex(value).c_str());
        out += cell;
        if (++column == 4) {
            out += '\n';
            column = 0;
        }
    }
    if (column != 0) {
        out += '\n';
    }
}

const platform::ModuleImage* moduleAt(const std::vector<platform::ModuleImage>& modules,
                                      uint64_t address) {
    for (const auto& module : modules) {
        if (address >= module.start && address < module.end) {
            return &module;
        }
    }
    return nullptr;
}

// One code address with the module that holds it and its offset there.
std::string codeAddress(const std::vector<platform::ModuleImage>& modules, uint64_t address) {
    std::string text = hex(address);
    if (const auto* module = moduleAt(modules, address)) {
        text += "  " + module->path + " " + hex(address - module->base, 1);
    } else {
        text += "  ?";
    }
    return text;
}

// The temporary file's name in the report directory: unique per thread, and
// starting with a dot so that nobody mistakes it for a report.
std::string temporaryName(const std::string& directory) {
    return directory + ".crash-report-" + std::to_string(platform::currentProcessId()) + "-" +
           std::to_string(platform::currentThreadId()) + ".tmp";
}

std::string candidateName(const std::string& name, int serial) {
    if (serial == 1) {
        return name;
    }
    const std::string stem = name.substr(0, name.size() - 4);  // without ".dmp"
    return stem + "_" + std::to_string(serial) + ".dmp";
}

// Gathers the facts and formats the report under a fault guard: reading
// the loaded modules' notes races with a library being unloaded.
std::optional<std::string> guardedReport(const HlmPlg::FaultRecord& fault,
                                         std::u16string_view place, std::string& name) {
    auto outcome = platform::runGuarded([&] {
        const CrashContext context = currentCrashContext(place);
        name = crashReportName(context.program, context.time);
        return formatCrashReport(fault, context);
    });
    if (auto* text = std::get_if<std::string>(&outcome)) {
        return std::move(*text);
    }
    return std::nullopt;
}

}  // namespace

CrashContext currentCrashContext(std::u16string_view place) {
    CrashContext context;
    context.program = platform::executablePath();
    context.processId = platform::currentProcessId();
    context.threadId = platform::currentThreadId();
    context.time = platform::localTimeNow();
    context.place = std::u16string(place);
    context.modules = platform::loadedModuleImages();
    return context;
}

std::string crashReportName(std::string_view programPath, const platform::LocalTime& time) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "_%04d%02d%02d_%02d%02d%02d.dmp", time.year % 10000,
                  time.month % 100, time.day % 100, time.hour % 100, time.minute % 100,
                  time.second % 100);
    std::string name = baseNameWithoutExtension(programPath) + stamp;
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return name;
}

std::string formatCrashReport(const HlmPlg::FaultRecord& fault, const CrashContext& context) {
    std::string out = "holm crash report 1\n";
    char line[256];
    std::snprintf(line, sizeof line, "time: %04d-%02d-%02d %02d:%02d:%02d (local)\n",
                  context.time.year, context.time.month, context.time.day, context.time.hour,
                  context.time.minute, context.time.second);
    out += line;
    out += "program: " + context.program + "\n";
    out += "process: " + std::to_string(context.processId) +
           "  thread: " + std::to_string(context.threadId) + "\n";
    out += "place: " + common::utf16ToUtf8(context.place) + "\n";
    out += "signal: " + std::to_string(fault.signal) + " " +
           platform::faultSignalName(fault.signal) + "  code: " + std::to_string(fault.signalCode) +
           "\n";
    out += "exception: " + hex(fault.code, 8) + " " +
           common::utf16ToUtf8(exceptionName(fault.code)) + "\n";
    out += "address: " + hex(fault.address) + "\n";
    out += "instruction: " + codeAddress(context.modules, fault.registers.rip) + "\n";
    appendRegisters(out, fault.registers);

    out += "backtrace:\n";
    const uint32_t frames = fault.backtraceCount < HlmPlg::kFaultBacktraceCapacity
                                ? fault.backtraceCount
                                : static_cast<uint32_t>(HlmPlg::kFaultBacktraceCapacity);
    for (uint32_t i = 0; i < frames; ++i) {
        out += "  #" + std::to_string(i) + "  " + codeAddress(context.modules, fault.backtrace[i]) +
               "\n";
    }

    out += "modules:\n";
    for (const auto& module : context.modules) {
        out += "  " + hex(module.start) + "-" + hex(module.end) + "  base " + hex(module.base) +
               "  build-id " + (module.buildId.empty() ? "-" : module.buildId) + "  " +
               module.path + "\n";
    }
    out += "end\n";
    return out;
}

platform::Result<std::string> writeCrashReport(const std::string& directory,
                                               const HlmPlg::FaultRecord& fault,
                                               std::u16string_view place) {
    static common::Mutex writing;  // one report at a time, so names never collide in-process
    common::MutexLock guard(writing);

    std::string name;
    std::optional<std::string> report = guardedReport(fault, place, name);
    if (!report) {
        return platform::Error::fromErrno(EFAULT);
    }
    const std::string temporary = temporaryName(directory);
    // The system's own dump where it has one (its debuggers read it, and it
    // holds the stacks the text cannot), else the text report.
    if (!platform::writeProcessDump(temporary, fault)) {
        platform::AtomicWriteOptions options;
        options.mode = 0600;  // registers and addresses are for the operator only
        if (auto written = platform::replaceFileAtomically(temporary, *report, options); !written) {
            return written.error();
        }
    }
    platform::Error failure = platform::Error::fromErrno(EEXIST);
    for (int serial = 1; serial <= kMaxSameSecondReports + 1; ++serial) {
        const std::string path = directory + candidateName(name, serial);
        auto moved = platform::renameNoReplace(temporary, path);
        if (moved) {
            return path;
        }
        failure = moved.error();
        if (failure.errnoValue() != EEXIST) {
            break;
        }
    }
    (void)platform::removeFile(temporary);  // nothing else to do: the report is lost
    return failure;
}

int32_t crashReportSwitch() {
    const auto store = registry::Store::openDefault(registry::StoreAccess::ReadOnly);
    if (!store) {
        return -1;
    }
    const auto key =
        registry::Key::open(*store, registry::Root::LocalMachine, kDebugKey, registry::kKeyRead);
    if (!key) {
        return -1;
    }
    const auto value = key->queryValue(kCreateMiniDumpValue);
    if (!value) {
        return -1;
    }
    const auto number = registry::readDword(*value);
    return number ? static_cast<int32_t>(*number) : -1;
}

std::optional<std::string> writeMiniDump(const HlmPlg::FaultRecord& fault,
                                         std::u16string_view place) {
    try {
        if (crashReportSwitch() != kCrashReportsOn) {
            return std::nullopt;
        }
        namespace util = Tandro::Utilities;
        auto settings = util::DiContainer::Instance().Get<util::IProductSettings>();
        CConfigStore store(*settings, nullptr);
        const std::string directory = common::utf16ToUtf8(store.appDataSubDir(u"TEMP"));
        auto written = writeCrashReport(directory, fault, place);
        if (!written) {
            return std::nullopt;
        }
        return std::move(*written);
    } catch (const std::exception&) {
        return std::nullopt;  // no product services or no memory: no report
    }
}

}  // namespace holm::services

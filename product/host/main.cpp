// avholm: the host program. Verifies and loads the core library, hands it the
// plugin list and the command line, runs it until a stop signal, a stop
// request or the --run-for time, and stops it. See usage() for the options
// and exit codes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/log_text.h"
#include "common/utf16.h"
#include "hlmplg/core.h"
#include "platform/io.h"
#include "platform/process_info.h"
#include "platform/service.h"
#include "platform/shared_library.h"
#include "platform/signals.h"
#include "product/host/control_server.h"
#include "product/host/host_handler.h"
#include "product/host/host_options.h"
#include "product/host/journal_events.h"
#include "product/host/session_forwarder.h"
#include "security/dependency_rule.h"
#include "security/trust_store.h"
#include "security/verified_file.h"
#include "utilities/product_settings.h"

namespace holm::product::host {
namespace {

using namespace holm;
using holm::common::utf16ToUtf8;
using holm::common::utf8ToUtf16;

enum ExitCode : int {
    kOk = 0,
    kCoreFailed = 1,
    kListMissing = 2,
    kCoreRefused = 3,
    kCoreNotLoadable = 4,
    kUsage = 5,
    kNoSignalChannel = 6,
    kNoPluginLoaded = 7,
    kStopAbandoned = 8,
    kCodeTooLarge = 255,
};

// The core library's file name on this system (libholmcore.so, libholmcore.dll).
constexpr const char* kCoreLibraryName = HOLM_CORE_LIBRARY_NAME;
constexpr const char* kDefaultListName = "plugins.xml";

void usage(std::FILE* out) {
    std::fputs(
        "usage: avholm [--shared NAME] [--run-for SECONDS] [--stop-limit SECONDS]\n"
        "              [--log FILE] [--help] [PLUGIN-LIST] [ARGS...]\n"
        "\n"
        "Loads the core library libholmcore.so of the product directory (the program's\n"
        "directory, or $HOLM_PRODUCT_DIR), after checking its signature, and runs the\n"
        "plugins of PLUGIN-LIST until TERM or INT arrives. HUP reloads the configuration.\n"
        "\n"
        "  PLUGIN-LIST        a plugin list file, or an inline list \"@XMLFILE:...\";\n"
        "                     default: plugins.xml in the product directory\n"
        "  ARGS               handed on to the plugins' command line\n"
        "  --shared NAME      use the shared core NAME instead of a private core\n"
        "  --run-for SECONDS  stop by itself after SECONDS, as if TERM had arrived\n"
        "  --stop-limit SECONDS\n"
        "                     the longest a stop may take from the TERM or INT that asked\n"
        "                     for it, the plugins' start included when it comes during\n"
        "                     the start (default 30); a stop that takes longer, or a\n"
        "                     second TERM or INT, ends avholm at once with exit code 8\n"
        "  --log FILE         append the log lines to FILE instead of standard error\n"
        "                     (a Windows service has no standard error)\n"
        "  --help             print this text\n"
        "  --                 every later argument is the list or handed on\n"
        "\n"
        "Log lines go to standard error: \"YYYY-MM-DD HH:MM:SS.mmm LEVEL source: text\",\n"
        "UTC time, LEVEL NOTICE (0: failures and important events), INFO (1) or DEBUG (higher).\n"
        "\n"
        "exit codes:\n"
        "    0  stopped normally\n"
        "    1  the core failed without giving a code\n"
        "    2  the plugin list is missing or unreadable (also the core's code for a list\n"
        "       it cannot load)\n"
        "    3  the core library failed the signature check (missing, unsafe\n"
        "       permissions, unsigned, tampered, untrusted key)\n"
        "    4  the core library cannot be loaded or has no getHlmCore\n"
        "    5  usage error\n"
        "    6  the stop signals cannot be set up\n"
        "    7  no listed plugin could be loaded: the core refused plugins and started none\n"
        "    8  the stop was abandoned: a second TERM or INT, or the stop limit passed\n"
        "  101-103  the core's start-up self-tests failed\n"
        "  200+n, 300+n  plugin n failed to load, to start\n"
        "  255  a code above 255 (the line printed before says which)\n"
        "  Any other code is the core's own. After a normal stop the code a plugin set\n"
        "  with setExitCode wins over the result of the core's stop.\n"
        "\n"
        "Once the plugins run, the command line is offered to them; a plugin that\n"
        "takes it has handled a one-shot command, and avholm stops at once and exits\n"
        "with the code that plugin set (0 if none).\n",
        out);
}

void fail(const std::string& line) {
    (void)platform::io::writeFull(2, host::journalPrefix(host::Priority::Error) +
                                         "avholm: " + holm::common::logLineText(line) + "\n");
}

// Exit statuses hold 8 bits: a larger code would wrap around, 256 even to
// success, so it becomes 255 and is printed in full.
int exitStatus(uint32_t code) {
    if (code <= 255) {
        return static_cast<int>(code);
    }
    fail("exit code " + std::to_string(code) + " does not fit an exit status; exiting with 255");
    return kCodeTooLarge;
}

// The program's directory, or HOLM_PRODUCT_DIR when set; ends in '/'.
std::string productDirectory() {
    const std::string program = platform::executablePath();
    const size_t slash = program.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : program.substr(0, slash + 1);
    return utf16ToUtf8(
        Tandro::Utilities::ProductSettings(utf8ToUtf16(directory)).getProductDirectory());
}

using GetHlmCore = HlmPlg::IHlmCore* (*)(const char16_t*, HlmPlg::IHlmCoreHandler*,
                                         const char16_t*);

struct LoadedCore {
    GetHlmCore entry = nullptr;
    int failure = kOk;
};

// Verifies the core library and loads it from the verified descriptor, so
// that what runs is exactly what was checked.
LoadedCore loadCore(const std::string& directory) {
    const std::string path = directory + kCoreLibraryName;
    security::VerifiedFile verified = security::VerifiedFile::open(
        path, security::TrustStore::system(), security::FileRole::Product);
    if (!verified) {
        fail("core library refused: " + verified.message());
        return {nullptr, kCoreRefused};
    }
    security::DependencyRule rule;
    rule.role = security::FileRole::Product;
    if (auto refusal = security::checkDependencies(verified, rule).refusal) {
        fail("core library refused: " + path + ": " + *refusal);
        return {nullptr, kCoreRefused};
    }
    auto loaded = platform::SharedLibrary::openDescriptor(verified.descriptor(), path);
    if (!loaded) {
        fail("cannot load the core library " + path + ": " + loaded.error().message);
        return {nullptr, kCoreNotLoadable};
    }
    platform::SharedLibrary library = std::move(*loaded);
    auto entry = reinterpret_cast<GetHlmCore>(library.symbol("getHlmCore"));
    if (entry == nullptr) {
        fail("the core library " + path + " has no getHlmCore");
        return {nullptr, kCoreNotLoadable};
    }
    // The core stays mapped until the process ends: threads it started may
    // still be on their way out when the host returns from main.
    library.keepLoaded();
    return {entry, kOk};
}

// The core is destroyed through its virtual destructor, inside its library.
using CorePointer = std::unique_ptr<HlmPlg::IHlmCore>;

void handOnCommandLine(HlmPlg::IHlmCore& core, const std::vector<std::string>& arguments) {
    std::vector<std::u16string> texts;
    for (const auto& argument : arguments) {
        texts.push_back(utf8ToUtf16(argument));
    }
    std::vector<const char16_t*> pointers;
    for (const auto& text : texts) {
        pointers.push_back(text.c_str());
    }
    core.setCommandLine(static_cast<int32_t>(pointers.size()), pointers.data());
}

// Keeps the service manager's watchdog fed when it asked for one. The pings
// come from the main loop itself, between its waits: a reload or anything
// else on that thread that hangs stops them, and the manager steps in.
class WatchdogPings {
  public:
    using Clock = std::chrono::steady_clock;

    WatchdogPings() {
        if (const auto interval = platform::serviceWatchdogInterval()) {
            // Half the interval, so that one late wake-up never misses it.
            period_ = std::max<Clock::duration>(*interval / 2, std::chrono::milliseconds(1));
            due_ = Clock::now();
        }
    }

    // Sends WATCHDOG=1 when one is due.
    void pingIfDue() {
        if (!period_) {
            return;
        }
        const auto now = Clock::now();
        if (now >= due_) {
            platform::notifyServiceManager("WATCHDOG=1");
            due_ = now + *period_;
        }
    }

    // The next moment the loop must wake for a ping, if any.
    std::optional<Clock::time_point> due() const {
        return period_ ? std::optional(due_) : std::nullopt;
    }

  private:
    std::optional<Clock::duration> period_;
    Clock::time_point due_{};
};

// The earlier of two optional moments.
std::optional<std::chrono::steady_clock::time_point> earliest(
    std::optional<std::chrono::steady_clock::time_point> a,
    std::optional<std::chrono::steady_clock::time_point> b) {
    if (a && b) {
        return std::min(*a, *b);
    }
    return a ? a : b;
}

// Reloads the configuration for a HUP, telling the service manager.
void reload(HlmPlg::IHlmCore& core) {
    host::writeLogLine(1, "avholm", "reloading the configuration");
    host::notifyReloading();
    core.reloadConfig();
    platform::notifyServiceManager("READY=1\nSTATUS=running");
}

const char* stopSignalName(platform::HostSignal signal) {
    return signal == platform::HostSignal::Interrupt ? "INT" : "TERM";
}

// Waits for a reason to stop; HUP reloads the configuration on the way.
void waitForStop(HlmPlg::IHlmCore& core, platform::SignalChannel& signals,
                 const host::HostHandler& handler,
                 std::optional<std::chrono::milliseconds> runFor) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = runFor ? std::optional(Clock::now() + *runFor) : std::nullopt;
    WatchdogPings watchdog;
    for (;;) {
        if (handler.stopRequested()) {
            host::writeLogLine(1, "avholm", "stopping: requested by a plugin");
            return;
        }
        if (deadline && Clock::now() >= *deadline) {
            host::writeLogLine(1, "avholm", "stopping: run time over");
            return;
        }
        watchdog.pingIfDue();
        std::optional<std::chrono::milliseconds> timeout;
        if (const auto wake = earliest(deadline, watchdog.due())) {
            timeout = std::max(std::chrono::milliseconds(0),
                               std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now()));
        }
        const auto signal = signals.wait(timeout);
        if (signal == platform::HostSignal::Hangup) {
            reload(core);
        } else if (signal) {
            host::writeLogLine(1, "avholm", std::string("stopping: ") + stopSignalName(*signal));
            return;
        }
    }
}

// Ends the host at once with exit code 8. Plugin threads may still run and
// hold what an orderly exit waits for, so the end is an immediate exit that
// runs no destructors.
[[noreturn]] void abandonStop(const std::string& reason) {
    fail("stop abandoned: " + reason + "; exiting at once with code " +
         std::to_string(kStopAbandoned));
    platform::exitImmediately(kStopAbandoned);
}

std::string secondsText(std::chrono::milliseconds limit) {
    return std::to_string(std::chrono::ceil<std::chrono::seconds>(limit).count()) + " s";
}

// The start-up, whose calls into the core run plugin code (loading,
// starting, the second generation's init and start, the command line) that
// may hang: each step runs on a thread of its own while the main thread
// keeps reading the signals. A TERM or INT then asks for the stop: the rest
// of the start and the stop must end within the stop limit counted from
// that signal, and a second TERM or INT ends the host at once (exit code 8),
// as during the stop. A HUP is remembered and carried out once the plugins
// run. Requests from the core (requestStop, setExitCode) only post to this
// loop, so they never wait for a step.
class StartSupervisor {
  public:
    using Clock = std::chrono::steady_clock;

    StartSupervisor(platform::SignalChannel& signals, std::chrono::milliseconds limit)
        : signals_(signals), limit_(limit) {}

    // Runs `step` on a thread of its own; returns when it has.
    void run(const std::function<void()>& step) {
        std::atomic<bool> finished{false};
        std::exception_ptr failure;
        std::thread worker([&] {
            try {
                step();
            } catch (...) {
                failure = std::current_exception();
            }
            finished.store(true);
            signals_.wake();
        });
        while (!finished.load()) {
            std::optional<std::chrono::milliseconds> timeout;
            if (stopDeadline_) {
                timeout =
                    std::chrono::ceil<std::chrono::milliseconds>(*stopDeadline_ - Clock::now());
                if (timeout->count() <= 0) {
                    abandonStop("the start did not finish within " + secondsText(limit_) +
                                " of the stop request");
                }
            }
            const auto signal = signals_.wait(timeout);
            if (!signal) {
                continue;
            }
            if (*signal == platform::HostSignal::Hangup) {
                reloadPending_ = true;
            } else if (stopDeadline_) {
                abandonStop(std::string(stopSignalName(*signal)) +
                            " arrived while the plugins were starting and a stop was pending");
            } else {
                stopDeadline_ = Clock::now() + limit_;
                host::writeLogLine(1, "avholm",
                                   std::string("stopping: ") + stopSignalName(*signal) +
                                       " (once the start has ended)");
            }
        }
        worker.join();
        if (failure) {
            std::rethrow_exception(failure);
        }
    }

    // Whether a TERM or INT arrived during the start.
    bool stopRequested() const { return stopDeadline_.has_value(); }
    // Whether a HUP arrived during the start.
    bool reloadPending() const { return reloadPending_; }
    // What is left of the stop limit for the stop itself: all of it, or
    // after a stop request during the start what the start left of it.
    std::chrono::milliseconds stopLimitLeft() const {
        if (!stopDeadline_) {
            return limit_;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(*stopDeadline_ - Clock::now());
        return std::max(left, std::chrono::milliseconds(1));
    }

  private:
    platform::SignalChannel& signals_;
    const std::chrono::milliseconds limit_;
    std::optional<Clock::time_point> stopDeadline_;
    bool reloadPending_ = false;
};

// Watches a stop in progress from a thread of its own: a TERM or INT that
// arrives meanwhile (the operator insists), or a stop that outlasts the limit
// (a plugin that never returns), ends the host at once.
class StopWatchdog {
  public:
    StopWatchdog(platform::SignalChannel& signals, std::chrono::milliseconds limit)
        : signals_(signals), limit_(limit), thread_([this] { watch(); }) {}
    ~StopWatchdog() {
        finished_.store(true);
        signals_.wake();
        thread_.join();
    }
    StopWatchdog(const StopWatchdog&) = delete;
    StopWatchdog& operator=(const StopWatchdog&) = delete;

  private:
    using Clock = std::chrono::steady_clock;

    void watch() {
        const auto deadline = Clock::now() + limit_;
        while (!finished_.load()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                abandonStop("the stop did not finish within " + secondsText(limit_));
            }
            const auto signal = signals_.wait(left);
            if (finished_.load()) {
                return;
            }
            if (signal == platform::HostSignal::Terminate ||
                signal == platform::HostSignal::Interrupt) {
                abandonStop(std::string(stopSignalName(*signal)) +
                            " arrived while the plugins were stopping");
            }
        }
    }

    platform::SignalChannel& signals_;
    const std::chrono::milliseconds limit_;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// Test-only switches: HOLM_TEST_SIGNAL_AT_START names signals (HUP, TERM,
// INT, several separated by commas) that the host sends itself at the start
// of main, where a signal from outside could arrive before the main loop
// reads them; HOLM_TEST_SIGNAL_AT_STOP names those it sends itself as the
// plugins' stop begins, for a suite that cannot send a request from outside
// (a console's or a service's) while a stop hangs.
void sendTestSignals(const char* variable) {
    const char* names = std::getenv(variable);
    if (names == nullptr) {
        return;
    }
    std::string_view rest(names);
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string_view signal = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (signal == "HUP") {
            platform::sendHostSignalToSelf(platform::HostSignal::Hangup);
        } else if (signal == "TERM") {
            platform::sendHostSignalToSelf(platform::HostSignal::Terminate);
        } else if (signal == "INT") {
            platform::sendHostSignalToSelf(platform::HostSignal::Interrupt);
        }
    }
}

// Stops the plugins (when `callStop`) and destroys the core, under the
// watchdog. Returns the result of stop (0 when it was not called).
uint32_t stopCore(CorePointer& core, bool callStop, platform::SignalChannel& signals,
                  std::chrono::milliseconds limit) {
    StopWatchdog watchdog(signals, limit);
    sendTestSignals("HOLM_TEST_SIGNAL_AT_STOP");
    const uint32_t result = callStop ? core->stop() : 0;
    core.reset();
    return result;
}

int runHost(const host::HostOptions& options) {
    const auto started = std::chrono::steady_clock::now();
    platform::raiseOpenFileLimit();
    platform::ignoreFileSizeLimitSignal();
    // The signals are blocked since main began; the channel reads them. It
    // is opened before the core loads, and every thread the core starts
    // inherits the mask, so the signals reach only the channel.
    platform::SignalChannel signals = platform::SignalChannel::open();
    if (!signals.valid()) {
        fail("cannot set up the stop signals");
        return kNoSignalChannel;
    }
    const std::string directory = productDirectory();
    const std::string list = options.pluginList.value_or(directory + kDefaultListName);
    if (!host::isInlineList(list)) {
        if (const std::string problem = host::pluginListProblem(list); !problem.empty()) {
            fail(problem);
            return kListMissing;
        }
    }
    // From here on the steps that may hang run under the supervisor, and the
    // main thread keeps reading the signals.
    StartSupervisor start(signals, options.stopLimit);
    host::HostHandler handler(signals);
    // Lifecycle events as structured journal entries; it outlives the core.
    host::JournalEvents journalEvents;
    LoadedCore loaded;
    CorePointer core;
    start.run([&] {
        loaded = loadCore(directory);
        if (loaded.failure != kOk) {
            return;
        }
        host::writeLogLine(1, "avholm",
                           "core verified and loaded: " + directory + kCoreLibraryName);
        const std::u16string sharedName = utf8ToUtf16(options.sharedName.value_or(""));
        core.reset(loaded.entry(utf8ToUtf16(list).c_str(), &handler,
                                options.sharedName ? sharedName.c_str() : nullptr));
        if (core) {
            handOnCommandLine(*core, options.coreArguments);
        }
    });
    if (loaded.failure != kOk) {
        return loaded.failure;
    }
    if (!core) {
        const uint32_t code = std::max(handler.stoppedCode().value_or(kCoreFailed), 1u);
        fail("core initialisation failed (code " + std::to_string(code) + ")");
        return exitStatus(code);
    }
    journalEvents.attach(*core);
    uint32_t runCode = 0;
    start.run([&] { runCode = core->run(false); });
    if (runCode != 0) {
        fail("core run failed (code " + std::to_string(runCode) + ")");
        stopCore(core, false, signals, start.stopLimitLeft());
        return exitStatus(runCode);
    }
    // The core's run succeeds when every plugin was refused; for the
    // service nothing would run, so that is a failure of the host's.
    if (handler.pluginsRefused() > 0 && handler.pluginsStarted() == 0) {
        fail("no listed plugin could be loaded (" + std::to_string(handler.pluginsRefused()) +
             " refused); stopping");
        stopCore(core, true, signals, start.stopLimitLeft());
        return kNoPluginLoaded;
    }
    // The plugins run now and can act on the command line. A plugin that
    // takes it has handled a one-shot command: the host stops and exits with
    // the code the plugin set (setExitCode or IService::stopService), else 0.
    bool commandTaken = false;
    start.run([&] { commandTaken = core->handleCmdLine(); });
    if (commandTaken) {
        host::writeLogLine(1, "avholm", "stopping: a plugin handled the command line");
    } else if (!start.stopRequested()) {
        // holm-ctl is served from a thread of its own, from before the
        // service manager hears the host is ready until the stop begins.
        host::ControlServer control(*core, {list, started});
        host::writeLogLine(1, "avholm",
                           "running (plugin list " + holm::common::logInsert(list) + ")");
        platform::notifyServiceManager("READY=1\nSTATUS=running");
        if (start.reloadPending()) {
            reload(*core);
        }
        // Logons and logoffs reach the core while it runs; the forwarding
        // ends before the stop begins.
        host::SessionForwarder sessions(*core);
        waitForStop(*core, signals, handler, options.runFor);
    }
    platform::notifyServiceManager("STOPPING=1\nSTATUS=stopping");
    const uint32_t stopResult = stopCore(core, true, signals, start.stopLimitLeft());
    const uint32_t code = handler.exitCode().value_or(stopResult);
    host::writeLogLine(1, "avholm", "stopped (exit code " + std::to_string(code) + ")");
    return exitStatus(code);
}

}  // namespace
}  // namespace holm::product::host

int main(int argc, char** argv) {
    using namespace holm::product::host;
    // First of all, so that a HUP, TERM or INT from here on waits for the
    // main loop instead of ending the process with the default action. The
    // host reads them from before the core is loaded until it exits: the
    // start is supervised (StartSupervisor), the stop watched (StopWatchdog).
    platform::blockHostSignals();
    sendTestSignals("HOLM_TEST_SIGNAL_AT_START");
    const ParseResult parsed = parseArguments(std::vector<std::string>(argv, argv + argc));
    if (!parsed.error.empty()) {
        fail(parsed.error + " (see avholm --help)");
        return kUsage;
    }
    if (parsed.options.help) {
        usage(stdout);
        return kOk;
    }
    // Started by the service manager, the host runs as its service (stop,
    // shut-down and session changes arrive as the console's requests do);
    // otherwise as the console program it is.
    return platform::runService([&]() -> int {
        if (parsed.options.logFile) {
            if (auto sent = platform::appendStandardErrorTo(*parsed.options.logFile); !sent) {
                fail("cannot write the log to " + *parsed.options.logFile + ": " +
                     sent.error().message());
                return kUsage;
            }
        }
        return runHost(parsed.options);
    });
}

// Service objects of a real core, reached as a plugin reaches them: debug
// lines, processes, the report log and text files, and the gateway the core
// library serves as a second-generation plugin.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "common/utf16.h"
#include "core/support/host_harness.h"
#include "hlmplg/hlmplg.h"
#include "platform/shared_library.h"
#include "support/test_support.h"

namespace core_services_test {

using holm::test::coreEntry;
using holm::test::CorePtr;
using holm::test::RecordingHandler;
using namespace HlmPlg;

// Sets an environment variable for one scope and puts back what was there.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        holm::test::setEnvironment(name, value.c_str());
    }
    ~ScopedVariable() {
        if (old_) {
            holm::test::setEnvironment(name_, old_->c_str());
        } else {
            holm::test::setEnvironment(name_, nullptr);
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

class ServicesThroughCore : public ::testing::Test {
  protected:
    void SetUp() override {
        core_.reset(coreEntry()(u"@XMLFILE:", &host_, nullptr));
        ASSERT_NE(core_, nullptr);
        ASSERT_EQ(core_->run(false), 0u);
    }

    template <typename T>
    T* create(int32_t id) {
        IInterface* object = core_->createInterface(id);
        auto* typed = dynamic_cast<T*>(object);
        if (typed == nullptr && object != nullptr) {
            core_->releaseInterface(id, object);
        }
        return typed;
    }

    RecordingHandler host_;
    CorePtr core_;
    holm::test::TempDir dir_;
};

// A narrow format is converted to UTF-16 before use: %S takes narrow text,
// %s UTF-16 text, as in every other format.
TEST_F(ServicesThroughCore, NarrowTracesTakeNarrowTextWithCapitalS) {
    auto* debug = create<IDebug>(IID_DEBUG);
    ASSERT_NE(debug, nullptr);
    debug->traceNarrow(1, "[%S]", "abc");
    debug->traceNarrowDefault("[%s|%S]", u"wide", "narrow");
    core_->releaseInterface(IID_DEBUG, debug);
    EXPECT_TRUE(host_.logged(u"[abc]"));
    EXPECT_TRUE(host_.logged(u"[wide|narrow]"));
}

// A plugin's clean-up command run in its stop runs to its end: run's wait
// does not watch the stop. The child sees the caller's environment without
// the service manager's variables, and no standard signal ignored (the C
// library's spawn keeps its two internal real-time signals ignored) or
// blocked.
TEST_F(ServicesThroughCore, RunWaitsThroughTheStopWithACleanEnvironmentAndSignals) {
    auto* process = create<IProcess>(IID_PROCESS);
    ASSERT_NE(process, nullptr);
    const std::string configFile = (dir_.path() / "holm.conf").string();
    const auto script =
        dir_.write("check.sh",
                   "test -z \"$NOTIFY_SOCKET$WATCHDOG_USEC$WATCHDOG_PID\" || exit 1\n"
                   "test \"$HOLM_CONFIG_FILE\" = " +
                       configFile + " || exit 2\n" +
                       "ignored=$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/self/status)\n"
                       "test $((0x$ignored & 0x7fffffff)) -eq 0 || exit 3\n"
                       "grep -q '^SigBlk:[[:space:]]*0*$' /proc/self/status || exit 4\n"
                       "exit 7\n");
    const std::u16string command = u"/bin/sh " + holm::test::u16(script);
    {
        ScopedVariable notify("NOTIFY_SOCKET", (dir_.path() / "notify").string());
        ScopedVariable watchdog("WATCHDOG_USEC", "1000000");
        ScopedVariable config("HOLM_CONFIG_FILE", configFile);
        struct sigaction ignore = {}, previous = {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, &previous);
        sigset_t blocked, before;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        ::pthread_sigmask(SIG_BLOCK, &blocked, &before);

        EXPECT_EQ(core_->stop(), 0u);  // the process object is told of the stop
        EXPECT_TRUE(process->run(command.c_str(), true));
        EXPECT_EQ(process->getExitCode(), 7u);

        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        ::sigaction(SIGXFSZ, &previous, nullptr);
    }
    // The session runs' wait does watch it (no session here: nothing starts),
    // and a failure leaves the exit code at 0.
    EXPECT_FALSE(process->runInActiveSession(command.c_str(), true));
    EXPECT_EQ(process->getExitCode(), 0u);
    // Without wait nothing of the process is kept.
    EXPECT_TRUE(process->run(u"/bin/true", false));
    EXPECT_FALSE(process->getProcessHandle());
    EXPECT_EQ(process->getProcessId(), 0u);
    core_->releaseInterface(IID_PROCESS, process);
}

// A file in a directory that does not exist: "path not found" (3), as
// against "file not found" (2) for a missing file in an existing directory.
TEST_F(ServicesThroughCore, FilesInAMissingDirectoryGivePathNotFound) {
    const std::u16string missing = holm::test::u16(dir_.path() / "none" / "report.log");
    auto* log = create<ILog>(IID_LOG);
    ASSERT_NE(log, nullptr);
    EXPECT_FALSE(log->open(missing.c_str(), 1, 0, false));
    EXPECT_EQ(log->getLastError(), 3u);
    core_->releaseInterface(IID_LOG, log);

    auto* file = create<ITxtFile>(IID_TXTFILE);
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(file->create(missing.c_str(), true, true));
    EXPECT_EQ(file->getLastError(), 3u);
    EXPECT_FALSE(file->create(missing.c_str(), true, false));
    EXPECT_EQ(file->getLastError(), 3u);
    EXPECT_FALSE(file->open(missing.c_str(), false));
    EXPECT_EQ(file->getLastError(), 3u);
    EXPECT_FALSE(file->open(holm::test::u16(dir_.path() / "absent.txt").c_str(), false));
    EXPECT_EQ(file->getLastError(), 2u);
    core_->releaseInterface(IID_TXTFILE, file);
}

// The gateway's notifiers are its own objects from its construction on:
// they are handed out before init, the wrappers that need the core are not.
TEST(GatewayOfTheCoreLibrary, NotifiersBeforeInit) {
    static holm::platform::SharedLibrary library =
        holm::platform::SharedLibrary::open(HOLM_CORE_LIBRARY).valueOr({});
    using Factory = IPluginObject2* (*)(const char*);
    auto factory = reinterpret_cast<Factory>(library.symbol("PluginFactory"));
    ASSERT_NE(factory, nullptr);
    RefPtr<IHolmPlugin2> gateway(dynamic_cast<IHolmPlugin2*>(factory("Holm/Gateway/1.0")));
    ASSERT_TRUE(gateway);
    IPluginObject2* update = gateway->createObject("IUpdateNotifier");
    ASSERT_NE(update, nullptr);
    EXPECT_STREQ(update->getTypeName(), "IUpdateNotifier");
    IPluginObject2* config = gateway->createObject("IConfigNotifier");
    ASSERT_NE(config, nullptr);
    EXPECT_STREQ(config->getTypeName(), "IConfigNotifier");
    EXPECT_EQ(gateway->createObject("IConfig"), nullptr);
    EXPECT_EQ(gateway->createObject("IAvLog"), nullptr);
}

}  // namespace core_services_test

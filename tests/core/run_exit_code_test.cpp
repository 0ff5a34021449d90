// The code `run` returns when an exception ends it: the failure the run noted
// before the exception (a plugin that did not start), else 1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "core/support/host_harness.h"

namespace {

using holm::test::coreEntry;
using holm::test::CorePtr;

// A host whose status-handle query fails: the core asks for it once the
// plugins have started, so the exception ends the run after the Start phase.
class FailingHost : public holm::test::RecordingHandler {
  public:
    void* getStatusHandle() override { throw std::runtime_error("status handle unavailable"); }
};

std::u16string list(const std::string& entries) {
    const std::string text = "@XMLFILE:" + entries;
    return std::u16string(text.begin(), text.end());
}

std::string exitCodeEntry(const std::string& name, const std::string& behaviour) {
    return "name=" + name + ";file=" HOLM_TEST_PLUGIN_DIR "/lib" + behaviour +
           HOLM_TEST_PLUGIN_SUFFIX ";params=name=" + name;
}

uint32_t runEndedByException(const std::string& entries) {
    FailingHost host;
    const std::u16string text = list(entries);
    CorePtr core(coreEntry()(text.c_str(), &host, nullptr));
    EXPECT_NE(core, nullptr);
    if (!core) {
        return 0;
    }
    const uint32_t code = core->run(false);
    core->stop();
    return code;
}

TEST(RunExitCode, AStartFailureOfPluginNIsTheCodeWhenAnExceptionEndsTheRun) {
    EXPECT_EQ(
        runEndedByException(exitCodeEntry("p1", "ok") + "|" + exitCodeEntry("p2", "fail_start") +
                            "|" + exitCodeEntry("p3", "ok")),
        302u);
    EXPECT_EQ(runEndedByException(exitCodeEntry("p1", "fail_start")), 301u);
}

TEST(RunExitCode, AnExceptionWithoutAnEarlierFailureGivesOne) {
    EXPECT_EQ(runEndedByException(exitCodeEntry("p1", "ok") + "|" + exitCodeEntry("p2", "ok")), 1u);
}

}  // namespace

// A processor fault in a plugin's start is contained by the fault guard: it
// fails that plugin only, is reported by name, the plugin before it runs and
// is stopped, and the faulting library stays loaded (its frames were
// abandoned, not unwound). The core runs on a thread of its own, as a host
// runs it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "common/utf16.h"
#include "core/support/host_harness.h"
#include "support/test_support.h"

namespace {

struct WinFaultCase {
    const char* fault;
    const char16_t* name;
};

class WinFaults : public ::testing::TestWithParam<WinFaultCase> {};

TEST_P(WinFaults, FaultInStartFailsThatPluginOnly) {
    const auto entry = holm::test::coreEntry();
    const std::u16string list =
        holm::common::utf8ToUtf16("@XMLFILE:name=p1;file=" + holm::test::plugin("ok") +
                                  ";params=name=p1|name=p2;file=" + holm::test::plugin("faulting") +
                                  ";params=p2," + GetParam().fault);
    holm::test::RecordingHandler host;
    uint32_t runCode = 1;
    uint32_t stopCode = 1;
    std::thread driver([&] {
        std::unique_ptr<HlmPlg::IHlmCore> core(entry(list.c_str(), &host, nullptr));
        ASSERT_NE(core, nullptr);
        runCode = core->run(false);
        stopCode = core->stop();
    });
    driver.join();

    std::u16string log;
    for (const auto& line : host.logLines()) {
        log += line + u"\n";
    }
    SCOPED_TRACE(holm::common::utf16ToUtf8(log));
    EXPECT_EQ(runCode, 0u);
    EXPECT_EQ(stopCode, 0u);
    EXPECT_TRUE(host.logged(u"Core: PM(p1): calling Start() ... done"));
    EXPECT_TRUE(host.logged(u"Core: PM(p2): calling Start() ... failed"));
    EXPECT_TRUE(host.logged(GetParam().name));
    EXPECT_TRUE(host.logged(u"Core: PM(p2): library kept loaded"));
    EXPECT_TRUE(host.logged(u"Core: PM(p1): calling Stop() ... done"));
    EXPECT_EQ(host.stopRequests.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, WinFaults,
                         ::testing::Values(WinFaultCase{"access_violation", u"ACCESS_VIOLATION"},
                                           WinFaultCase{"divide_by_zero", u"INT_DIVIDE_BY_ZERO"},
                                           WinFaultCase{"illegal_instruction",
                                                        u"ILLEGAL_INSTRUCTION"}),
                         [](const auto& info) { return std::string(info.param.fault); });

}  // namespace

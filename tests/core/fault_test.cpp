// Processor faults in plugin code, through the real core library: a fault
// in a plugin's start is contained, reported by name with its details, and
// fails that plugin only (see runFaultCase for where each case runs).
#include <gtest/gtest.h>

#include <string>

#include "core/support/fault_runs.h"

namespace {

using holm::test::FaultCase;
using holm::test::FaultOutcome;
using holm::test::Faults;
using holm::test::runFaultCase;

// The fault fails p2's Start and reaches the handlers by name, the host keeps
// running (the run stops its core and ends normally), and p2's library
// stays loaded because its frames were never unwound.
TEST_P(Faults, FaultInStartIsReportedAndFailsThatPluginOnly) {
    const auto& [plugin, fault] = GetParam();
    const FaultOutcome child = runFaultCase(std::string(plugin) + "," + fault.fault + ",catch");
    SCOPED_TRACE(child.output);
    ASSERT_EQ(child.exitCode, 0);
    EXPECT_TRUE(child.completed);
    EXPECT_TRUE(child.has(std::string("REPORT CPlugin(p2)::start ") + fault.name + " "));
    EXPECT_TRUE(child.has("LOG Core: PM(p1): calling Start() ... done"));
    EXPECT_TRUE(child.has("LOG Core: PM(p2): calling Start() ... failed"));
    EXPECT_TRUE(child.has("the process state may be damaged"));
    EXPECT_TRUE(child.has("LOG Core: PM(p2): library kept loaded"));
    EXPECT_TRUE(child.has("RUN 0 STOP 0 EXIT -1 STOPREQUESTS 0"));
}

// A stack overflow is a case of its own on Linux (posix/fault_posix_test.cpp).
INSTANTIATE_TEST_SUITE_P(
    PluginBuilds, Faults,
    ::testing::Combine(::testing::Values("faulting", "faulting_nce"),
                       ::testing::Values(FaultCase{"access_violation", "ACCESS_VIOLATION"},
                                         FaultCase{"divide_by_zero", "INT_DIVIDE_BY_ZERO"},
                                         FaultCase{"illegal_instruction", "ILLEGAL_INSTRUCTION"})),
    holm::test::faultCaseName);

TEST(FaultDetails, AccessViolationNamesTheAddressAccessed) {
    const FaultOutcome child = runFaultCase("faulting,access_violation,catch");
    SCOPED_TRACE(child.output);
    EXPECT_TRUE(child.has("REPORT CPlugin(p2)::start ACCESS_VIOLATION address=0 frames="));
}

TEST(FaultDetails, StopOnFaultAsksTheHostToStopWithItsCode) {
    const FaultOutcome child =
        runFaultCase("faulting,illegal_instruction,catch", "HOLM_STOP_ON_FAULT=1");
    SCOPED_TRACE(child.output);
    ASSERT_EQ(child.exitCode, 0);
    EXPECT_TRUE(child.has("EXIT 70 STOPREQUESTS 1"));
}

// The frames a fault abandons end at the guard: the core's own frames above
// it return normally, so the core library, loaded as the legacy bridge too,
// is not taken for faulted code. Its plugin is unloaded as usual, and it
// leaves nothing loaded for a later core of the process to find.
TEST(FaultDetails, TheBridgeIsNotTakenForFaultedCode) {
    const FaultOutcome child = runFaultCase("faulting,access_violation,bridge");
    SCOPED_TRACE(child.output);
    ASSERT_EQ(child.exitCode, 0);
    EXPECT_TRUE(child.has("REPORT CPlugin(p2)::start ACCESS_VIOLATION"));
    EXPECT_TRUE(child.has("LOG Core: PM(p2): library kept loaded"));
    EXPECT_FALSE(child.has("PM(bridge): library kept loaded"));
    EXPECT_TRUE(child.has("LOG Core: PM(bridge): calling UnLoad() ... done"));
    EXPECT_TRUE(child.has("RUN 0 STOP 0"));
}

}  // namespace

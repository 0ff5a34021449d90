// The fault guard on Windows: processor faults inside a guarded call are
// contained and reported with their Windows code, as on the other systems.
#include "platform/fault_guard.h"

#include <csignal>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <variant>

#include <gtest/gtest.h>

namespace holm::platform {
namespace {

constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kIntegerDivideByZero = 0xC0000094;

[[gnu::noinline]] int readFrom(volatile int* address) {
    return *address;
}

[[gnu::noinline]] int divide(int dividend, int divisor) {
    volatile int by = divisor;  // never folded away at compile time
    return dividend / by;
}

TEST(WinFaultGuardTest, AnAccessViolationIsContainedAndReported) {
    auto outcome = runGuarded([] { return readFrom(reinterpret_cast<volatile int*>(0x10)); });
    ASSERT_TRUE(std::holds_alternative<HlmPlg::FaultRecord>(outcome));
    const auto& fault = std::get<HlmPlg::FaultRecord>(outcome);
    EXPECT_EQ(fault.code, kAccessViolation);
    EXPECT_EQ(fault.address, 0x10u);
    EXPECT_EQ(fault.signal, SIGSEGV);
    EXPECT_STREQ(faultSignalName(fault.signal), "SIGSEGV");
    EXPECT_GE(fault.backtraceCount, 1u);
    EXPECT_EQ(fault.backtrace[0], fault.registers.rip);

    // The thread goes on, and guards again.
    auto again = runGuarded([] { return 7; });
    ASSERT_TRUE(std::holds_alternative<int>(again));
    EXPECT_EQ(std::get<int>(again), 7);
}

TEST(WinFaultGuardTest, ADivideByZeroIsContained) {
    auto outcome = runGuarded([] { return divide(1, 0); });
    ASSERT_TRUE(std::holds_alternative<HlmPlg::FaultRecord>(outcome));
    EXPECT_EQ(std::get<HlmPlg::FaultRecord>(outcome).code, kIntegerDivideByZero);
    EXPECT_EQ(std::get<HlmPlg::FaultRecord>(outcome).signal, SIGFPE);
}

TEST(WinFaultGuardTest, InnerGuardsContainTheirOwnFaultsAndExceptionsPassThrough) {
    bool innerFaulted = false;
    auto outer = runGuarded([&] {
        auto inner = runGuarded([] { return readFrom(nullptr); });
        innerFaulted = std::holds_alternative<HlmPlg::FaultRecord>(inner);
        return 1;
    });
    EXPECT_TRUE(innerFaulted);
    ASSERT_TRUE(std::holds_alternative<int>(outer)) << "the outer call completed";

    EXPECT_THROW(runGuarded([] { throw std::runtime_error("passes"); }), std::runtime_error);
    auto after = runGuarded([] { return readFrom(nullptr); });
    EXPECT_TRUE(std::holds_alternative<HlmPlg::FaultRecord>(after))
        << "a throw disarmed nothing it should not have";
}

TEST(WinFaultGuardTest, EachThreadHasItsOwnGuard) {
    uint32_t code = 0;
    std::thread([&] {
        auto outcome = runGuarded([] { return readFrom(reinterpret_cast<volatile int*>(8)); });
        if (auto* fault = std::get_if<HlmPlg::FaultRecord>(&outcome)) {
            code = fault->code;
        }
    }).join();
    EXPECT_EQ(code, kAccessViolation);
}

}  // namespace
}  // namespace holm::platform

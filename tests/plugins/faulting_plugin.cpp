// A plugin whose start raises a processor fault, for the fault tests. Its
// params are "<tag>,<fault>" with fault one of access_violation,
// divide_by_zero, illegal_instruction, stack_overflow, thread_fault (the
// fault on a thread of the plugin's own, where no guard is armed), or none.
// The faults are written so that no optimiser removes them, and the library
// is built without sanitizers so that none reports them first. Nothing on
// the way from start to the fault allocates: the frames are abandoned.
#include <cstdint>
#include <string>
#include <thread>

#include "hlmplg/hlmplg.h"

namespace {

volatile uintptr_t gZero = 0;
volatile bool gRecurse = true;

void accessViolation() {
    const uintptr_t address = gZero;
    asm volatile("movl $1, (%0)" : : "r"(address) : "memory");
}

void divideByZero() {
    const int32_t divisor = static_cast<int32_t>(gZero);
    int32_t quotient = 0;
    int32_t remainder = 0;
    asm volatile("idivl %2" : "=a"(quotient), "=d"(remainder) : "r"(divisor), "a"(1), "d"(0));
}

void illegalInstruction() {
    asm volatile("ud2");
}

// Unbounded recursion; the volatile array keeps every frame on the stack.
[[gnu::noinline]] int recurse(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (gRecurse) {
        return recurse(depth + 1) + frame[0];
    }
    return frame[0];
}

class FaultingPlugin : public HlmPlg::CHlmPlg {
  public:
    FaultingPlugin(HlmPlg::IHlmPlg* facade, std::string fault)
        : CHlmPlg(u"Faulting", facade), fault_(std::move(fault)) {}

    uint32_t getVersion() override { return 0x04000100; }
    bool start() override {
        if (fault_ == "access_violation") {
            accessViolation();
        } else if (fault_ == "divide_by_zero") {
            divideByZero();
        } else if (fault_ == "illegal_instruction") {
            illegalInstruction();
        } else if (fault_ == "stack_overflow") {
            recurse(0);
        } else if (fault_ == "thread_fault") {
            std::thread(illegalInstruction).join();
        }
        return CHlmPlg::start();
    }

  private:
    std::string fault_;
};

std::string narrow(const char16_t* text) {
    std::string result;
    for (; text != nullptr && *text != 0; ++text) {
        result += static_cast<char>(*text);
    }
    return result;
}

}  // namespace

HLMPLG_PLUGIN_ENTRY {
    const std::string text = narrow(params);
    return new FaultingPlugin(facade, text.substr(text.find(',') + 1));
}

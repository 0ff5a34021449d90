// Thread-local objects with destructors on Windows: a thread that ends runs
// their destructors while the objects are intact, and only then gives their
// storage back (the other order corrupts the heap).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fault_guard.h"

namespace holm::platform {
namespace {

struct Seen {
    uint64_t value = 0;
    std::string text;
};
Seen gSeen;

struct Witness {
    uint64_t value = 0;
    std::string text;
    ~Witness() {
        gSeen.value = value;
        gSeen.text = text;  // reads the object's own buffer
    }
};
thread_local Witness tWitness;

TEST(ThreadExitTest, DestructorsOfThreadLocalObjectsSeeThemIntact) {
    for (uint64_t round = 1; round <= 3; ++round) {
        gSeen = {};
        std::thread([round] {
            tWitness.value = 0x5eed0000 + round;
            tWitness.text.assign(100, static_cast<char>('a' + round));
            // Heap traffic on the way out, so that freed storage is reused.
            std::vector<std::string> churn(32, std::string(100, 'x'));
        }).join();
        EXPECT_EQ(gSeen.value, 0x5eed0000 + round);
        EXPECT_EQ(gSeen.text, std::string(100, static_cast<char>('a' + round)));
    }
}

TEST(ThreadExitTest, ThreadsThatGuardedCallsEndCleanly) {
    // Each thread claims a guard, faults in it and ends, handing the guard
    // back; the threads after it claim guards as well.
    for (int round = 0; round < 8; ++round) {
        bool contained = false;
        std::thread([&contained] {
            auto outcome = runGuarded([] {
                volatile int* nowhere = nullptr;
                return *nowhere;
            });
            contained = std::holds_alternative<HlmPlg::FaultRecord>(outcome);
            std::string afterwards(200, 'y');  // the heap is still sound
        }).join();
        EXPECT_TRUE(contained) << "round " << round;
    }
}

}  // namespace
}  // namespace holm::platform

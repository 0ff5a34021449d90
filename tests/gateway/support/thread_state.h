// Whether a thread of this process is blocked in a wait, as the system sees
// it: for tests that must not go on before another thread has reached a
// wait they cannot observe otherwise.
#pragma once

#include <cstdint>

namespace holm::test {

// Whether thread `tid` (platform::currentThreadId of that thread) waits: on
// Linux asleep in the kernel, on Windows inside the system's wait calls. A
// thread parked on a condition variable waits; the caller knows that nothing
// else blocks it.
bool threadWaits(uint32_t tid);

}  // namespace holm::test

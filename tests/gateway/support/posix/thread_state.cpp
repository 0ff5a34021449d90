// Linux: the kernel's view of a thread in /proc.
#include "gateway/support/thread_state.h"

#include <fstream>
#include <string>

namespace holm::test {

// Whether the kernel thread `tid` of this process is asleep (state S): a
// thread parked on a condition variable, since nothing else here blocks it.
bool threadWaits(uint32_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t name = line.rfind(')');
    return name != std::string::npos && name + 2 < line.size() && line[name + 2] == 'S';
}

}  // namespace holm::test

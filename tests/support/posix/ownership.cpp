#include <unistd.h>

#include "support/test_support.h"

namespace holm::test {

bool canGiveAwayFiles() {
    return ::geteuid() == 0;
}

bool giveToAnotherUser(const std::filesystem::path& path) {
    return ::lchown(path.c_str(), kAnotherUser, static_cast<gid_t>(-1)) == 0;
}

}  // namespace holm::test

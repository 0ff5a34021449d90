#include "bench/support/bench_support.h"

#include <random>
#include <system_error>

namespace holm::bench {

namespace fs = std::filesystem;

ScratchDirectory::ScratchDirectory(const std::string& prefix, fs::path parent) {
    std::error_code error;
    if (parent.empty()) {
        parent = fs::temp_directory_path(error);
        if (error) {
            return;
        }
    }
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = parent / (prefix + "-" + std::to_string(random()));
        if (fs::create_directory(candidate, error)) {
            path_ = std::move(candidate);
            return;
        }
        if (error) {
            return;  // not a name clash: the parent is unusable
        }
    }
}

ScratchDirectory::~ScratchDirectory() {
    if (!path_.empty()) {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
}

}  // namespace holm::bench

#include "core/support/host_harness.h"

#include <cstdlib>
#include <filesystem>

#include "platform/shared_library.h"
#include "support/test_support.h"

namespace holm::test {

void RecordingHandler::log(uint32_t, const char16_t* source, const char16_t* text) {
    std::lock_guard guard(lock_);
    lines_.push_back(std::u16string(source) + u": " + text);
}

void RecordingHandler::setServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHint) {
    std::lock_guard guard(lock_);
    statuses_.push_back({state, exitCode, waitHint});
}

bool RecordingHandler::logged(const std::u16string& text) const {
    std::lock_guard guard(lock_);
    for (const auto& line : lines_) {
        if (line.find(text) != std::u16string::npos) {
            return true;
        }
    }
    return false;
}

std::vector<std::u16string> RecordingHandler::logLines() const {
    std::lock_guard guard(lock_);
    return lines_;
}

std::vector<RecordingHandler::Status> RecordingHandler::statuses() const {
    std::lock_guard guard(lock_);
    return statuses_;
}

const std::string& testDataDirectory() {
    static const TempDir directory;
    static const std::string path = directory.path().string() + "/";
    return path;
}

std::string productDirectory() {
    return std::filesystem::path(HOLM_CORE_LIBRARY).parent_path().string() + "/";
}

GetHlmCore coreEntry() {
    static const GetHlmCore entry = [] {
        holm::test::setEnvironment("HOLM_DATA_DIR", testDataDirectory().c_str());
        holm::test::setEnvironment("HOLM_REGISTRY_DIR", (testDataDirectory() + "registry").c_str());
        holm::test::setEnvironment("HOLM_PRODUCT_DIR", nullptr);
        static platform::SharedLibrary library =
            platform::SharedLibrary::open(HOLM_CORE_LIBRARY).valueOr({});
        return reinterpret_cast<GetHlmCore>(library.symbol("getHlmCore"));
    }();
    return entry;
}

}  // namespace holm::test

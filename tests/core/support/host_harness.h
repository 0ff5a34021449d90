// Drives the real core library the way a host does: loaded from the build's
// product directory, reached only through getHlmCore.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hlmplg/hlmplg.h"

namespace holm::test {

#ifdef HOLM_TEST_PLUGIN_DIR
// The test plugins the test tree builds: <kPluginDir>lib<behaviour><suffix>,
// with the system's module suffix (.so, .dll).
inline const std::string kPluginDir = HOLM_TEST_PLUGIN_DIR "/";
inline std::string plugin(const std::string& behaviour) {
    return kPluginDir + "lib" + behaviour + HOLM_TEST_PLUGIN_SUFFIX;
}
#endif

// A host handler that records every call.
class RecordingHandler : public HlmPlg::IHlmCoreHandler {
  public:
    struct Status {
        uint32_t state, exitCode, waitHint;
    };

    void log(uint32_t level, const char16_t* source, const char16_t* text) override;
    void setServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHint) override;
    void setExitCode(uint32_t code) override { exitCode = code; }
    void requestStop() override { ++stopRequests; }
    bool canStart() override {
        ++canStartCalls;
        return allowStart;
    }

    bool logged(const std::u16string& text) const;
    std::vector<std::u16string> logLines() const;
    std::vector<Status> statuses() const;

    bool allowStart = true;
    std::atomic<int> stopRequests{0};
    std::atomic<int> canStartCalls{0};
    std::atomic<int64_t> exitCode{-1};  // -1 until setExitCode

  private:
    mutable std::mutex lock_;
    std::vector<std::u16string> lines_;
    std::vector<Status> statuses_;
};

// A core as a host owns it (the core's destructor is virtual and public).
using CorePtr = std::unique_ptr<HlmPlg::IHlmCore>;

using GetHlmCore = HlmPlg::IHlmCore* (*)(const char16_t*, HlmPlg::IHlmCoreHandler*,
                                         const char16_t*);

// getHlmCore of the built core library (loaded once per process). The data
// directory and the registry store are private temporary directories, set
// before the first core.
GetHlmCore coreEntry();
// The data directory the cores of this process use.
const std::string& testDataDirectory();
// The directory of the built core library: the product directory.
std::string productDirectory();

}  // namespace holm::test

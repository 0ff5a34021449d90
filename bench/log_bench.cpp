// One-line report entries committed through ILog (a stamped line with a
// category, as the event reporter writes), against spdlog's rotating file
// sink with a flush after every message, on 1 and 2 threads. Both keep the
// file under 10 MiB with four backups, in a temporary directory of the run.
// ILog writes UTF-16 (twice the bytes of spdlog's UTF-8) and checks before
// every commit that its path still names the open file and was not cut short
// from outside (BM_CommitLengthCheck: what the second check costs).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "common/utf16.h"
#include "platform/file_system.h"
#include "platform/io.h"
#include "services/log_impl.h"

#ifdef HOLM_BENCH_SPDLOG
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

namespace fs = std::filesystem;
using holm::services::CHlmPlgLogImpl;

constexpr int32_t kMaximumSize = 10 * 1024 * 1024;

class Directory {
  public:
    Directory() {
        std::random_device random;
        do {
            path_ = fs::temp_directory_path() / ("holm-log-bench-" + std::to_string(random()));
        } while (!fs::create_directory(path_));
    }
    ~Directory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

Directory& directory() {
    static Directory instance;
    return instance;
}

CHlmPlgLogImpl& holmLog() {
    static const auto log = [] {
        auto made = std::make_unique<CHlmPlgLogImpl>(
            nullptr, CHlmPlgLogImpl::AsyncHolder(nullptr, [](HlmPlg::IAsync*) {}));
        const std::u16string path =
            holm::text::utf8ToUtf16((directory().path() / "holm.log").string());
        (void)made->open(path.c_str(), 1, kMaximumSize, true);
        return made;
    }();
    return *log;
}

void BM_ILogCommit(benchmark::State& state) {
    CHlmPlgLogImpl& log = holmLog();
    int n = 0;
    for (auto _ : state) {
        log.log(1, 5, 3, u"Plugin %s could not be started (error %u).", u"scanner", ++n);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ILogCommit)->Threads(1)->Threads(2)->UseRealTime();

// What a commit spends on noticing a truncation from outside: one status
// query of the open descriptor, its size compared with what was written.
void BM_CommitLengthCheck(benchmark::State& state) {
    holm::platform::io::OpenOptions options;
    options.access = holm::platform::io::Access::ReadWrite;
    options.create = true;
    auto file = holm::platform::io::open((directory().path() / "check.log").string(), options);
    if (!file) {
        state.SkipWithError("cannot create the file");
        return;
    }
    const uint64_t written = 0;
    for (auto _ : state) {
        const auto info = holm::platform::statDescriptor(file->get());
        benchmark::DoNotOptimize(info && info->size < written);
    }
}
BENCHMARK(BM_CommitLengthCheck);

#ifdef HOLM_BENCH_SPDLOG
constexpr size_t kBackups = 4;

spdlog::logger& peerLog() {
    static const auto log = [] {
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            (directory().path() / "peer.log").string(), kMaximumSize, kBackups);
        auto made = std::make_shared<spdlog::logger>("peer", sink);
        made->set_pattern("%m/%d/%Y,%H:%M:%S [%l] %v");
        made->flush_on(spdlog::level::trace);
        return made;
    }();
    return *log;
}

void BM_PeerRotatingSinkFlushEach(benchmark::State& state) {
    spdlog::logger& log = peerLog();
    int n = 0;
    for (auto _ : state) {
        log.error("Plugin {} could not be started (error {}).", "scanner", ++n);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PeerRotatingSinkFlushEach)->Threads(1)->Threads(2)->UseRealTime();
#endif

}  // namespace

// One-line report entries committed through ILog (a stamped line with a
// category, as the event reporter writes), against spdlog's rotating file
// sink with a flush after every message, on 1 and 2 threads. Both keep the
// file under 10 MiB with four backups, in a temporary directory of the run.
// ILog writes UTF-16 (twice the bytes of spdlog's UTF-8) and checks before
// every commit that its path still names the open file and was not cut short
// from outside (BM_CommitLengthCheck: what the second check costs).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include "common/utf16.h"
#include "platform/file_change_monitor.h"
#include "platform/file_system.h"
#include "platform/io.h"
#include "platform/local_time.h"
#include "services/log_impl.h"

#ifdef HOLM_BENCH_SPDLOG
#include <fmt/format.h>
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
            holm::common::utf8ToUtf16((directory().path() / "holm.log").string());
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

// A line as long as the one BM_ILogCommit writes.
constexpr char16_t kLine[] =
    u"12/07/2026,23:00:00 [ERROR] Plugin scanner could not be started (error 1234567).\r\n";

holm::platform::UniqueFd appendFile(const char* name) {
    holm::platform::io::OpenOptions options;
    options.access = holm::platform::io::Access::ReadWrite;
    options.append = true;
    options.create = true;
    auto file = holm::platform::io::open((directory().path() / name).string(), options);
    return file ? std::move(*file) : holm::platform::UniqueFd();
}

// The floor of a commit: only the system calls a commit must make to keep
// its guarantees, on a file of its own, with the line ready in UTF-16, under
// the one lock that keeps entries whole and in order. The rename check (a
// non-blocking read of the change monitor, and a look at the name after the
// file's attributes changed), the length check (fstat), the page marks of a
// write that spans a page, and the write.
struct FloorFile {
    explicit FloorFile(const char* name)
        : path((directory().path() / name).string()), file(appendFile(name)) {
        watch = monitor.watch(file.get());
        (void)monitor.changed(watch, seen);
    }
    ~FloorFile() { monitor.unwatch(watch); }

    void commit(std::string_view bytes) {
        std::lock_guard hold(lock);
        if (monitor.changed(watch, seen)) {
            benchmark::DoNotOptimize(holm::platform::lstatPath(path));
        }
        const auto info = holm::platform::statDescriptor(file.get());
        benchmark::DoNotOptimize(info && info->size < size);
        const bool spans = size / 4096 != (size + bytes.size() - 1) / 4096;
        if (spans) {
            (void)holm::platform::io::setAttribute(file.get(), "user.holm.bench", "0 1");
        }
        (void)holm::platform::io::writeFull(file.get(), bytes);
        size += bytes.size();
        if (spans) {
            (void)holm::platform::io::removeAttribute(file.get(), "user.holm.bench");
        }
        if (size > static_cast<uint64_t>(kMaximumSize)) {
            (void)holm::platform::truncateDescriptor(file.get(), 0);  // once in 65,000
            size = 0;
        }
    }

    const std::string path;
    holm::platform::UniqueFd file;
    holm::platform::FileChangeMonitor& monitor = holm::platform::FileChangeMonitor::process();
    int32_t watch = holm::platform::FileChangeMonitor::kNotWatched;
    uint64_t seen = 0;
    uint64_t size = 0;
    std::mutex lock;
};

void BM_CommitFloor(benchmark::State& state) {
    static FloorFile floor("floor.log");
    if (!floor.file.valid()) {
        state.SkipWithError("cannot create the file");
        return;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(kLine), sizeof kLine - 2);
    for (auto _ : state) {
        floor.commit(bytes);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CommitFloor)->Threads(1)->Threads(2)->UseRealTime();

// What writing UTF-16 costs: the bare append of the same line in UTF-16 and
// in UTF-8 (half the bytes), nothing else.
void runLineWrite(benchmark::State& state, const char* name, std::string_view bytes) {
    auto file = appendFile(name);
    uint64_t size = 0;
    for (auto _ : state) {
        (void)holm::platform::io::writeFull(file.get(), bytes);
        size += bytes.size();
        if (size > static_cast<uint64_t>(kMaximumSize)) {
            state.PauseTiming();
            (void)holm::platform::truncateDescriptor(file.get(), 0);
            size = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_LineWriteUtf16(benchmark::State& state) {
    runLineWrite(state, "utf16.log",
                 std::string_view(reinterpret_cast<const char*>(kLine), sizeof kLine - 2));
}
BENCHMARK(BM_LineWriteUtf16)->UseRealTime();

void BM_LineWriteUtf8(benchmark::State& state) {
    const std::string line = holm::common::utf16ToUtf8(kLine);
    runLineWrite(state, "utf8.log", line);
}
BENCHMARK(BM_LineWriteUtf8)->UseRealTime();

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

// The floor of a commit with its line made as cheaply as the peer makes its
// own: the same stamped line laid out by the peer's formatting library (the
// stamp made once a second per thread, as both loggers do), widened to
// UTF-16 into a reused buffer, then the floor's system calls under its lock.
void BM_CommitFloorFormattedByPeer(benchmark::State& state) {
    static FloorFile floor("formatted-floor.log");
    if (!floor.file.valid()) {
        state.SkipWithError("cannot create the file");
        return;
    }
    holm::platform::LocalTime stampTime;
    std::string stamp;
    fmt::memory_buffer text;
    std::u16string line;
    int n = 0;
    for (auto _ : state) {
        const holm::platform::LocalTime now = holm::platform::localTimeNowCoarse();
        if (stamp.empty() || !holm::platform::sameSecond(now, stampTime)) {
            stamp = holm::platform::shortDate(now) + "," + holm::platform::time24(now);
            stampTime = now;
        }
        text.clear();
        fmt::format_to(std::back_inserter(text),
                       "{} [ERROR] Plugin {} could not be started (error {}).\r\n", stamp,
                       "scanner", ++n);
        line.assign(text.begin(), text.end());
        floor.commit(std::string_view(reinterpret_cast<const char*>(line.data()),
                                      line.size() * sizeof(char16_t)));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CommitFloorFormattedByPeer)->Threads(1)->Threads(2)->UseRealTime();
#endif

}  // namespace

// File and directory watches: from a write to a watched file to the
// plugin's onAsyncEvent, through the dispatcher's directory worker and the
// core's plugin boundary, against a raw reader of the same notifier (one
// thread, one wait set over a stop event and one change notifier -- inotify
// on Linux, the directory change reads of platform/win on Windows -- read
// the batch, match the entry name, one call). Each iteration appends one byte
// and waits until the callback has signalled back; the per-iteration
// latencies give p50 and p99.
//
// The same latency with 10 and with 10,000 directories watched by the one
// worker beside the file shows what a wake costs with many watches; the CPU
// time per iteration (the whole process: writer and worker) and the memory
// the 10,000 watches add to the resident set are reported as counters. The
// scratch directories are on disk (the file times of a disk file system are
// the ones the watch must not depend on).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "async/async_impl.h"
#include "async/dispatcher.h"
#include "bench/support/bench_support.h"
#include "common/utf16.h"
#include "core/async_gate.h"
#include "platform/change_notifier.h"
#include "platform/epoll_set.h"
#include "platform/manual_event.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void report(benchmark::State& state, std::vector<double>& latencies, double cpuSeconds) {
    if (latencies.empty()) {
        return;
    }
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double quantile) {
        return latencies[std::min(
            latencies.size() - 1,
            static_cast<size_t>(quantile * static_cast<double>(latencies.size())))];
    };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["cpu_us_per_write"] = cpuSeconds * 1e6 / static_cast<double>(latencies.size());
}

void runLatencyLoop(benchmark::State& state, const fs::path& file,
                    holm::platform::ManualEvent& delivered) {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    std::vector<double> latencies;
    latencies.reserve(100000);
    const double cpuStart = holm::bench::processCpuSeconds();
    for (auto _ : state) {
        delivered.reset();
        const auto start = Clock::now();
        out << 'x' << std::flush;
        if (!delivered.waitUntil(Clock::now() + std::chrono::seconds(5))) {
            state.SkipWithError("no delivery");
            return;
        }
        const std::chrono::duration<double, std::micro> latency = Clock::now() - start;
        latencies.push_back(latency.count());
        state.SetIterationTime(latency.count() / 1e6);
    }
    const double cpu = holm::bench::processCpuSeconds() - cpuStart;
    report(state, latencies, cpu);
}

class SignallingHandler : public HlmPlg::IAsyncHandler {
  public:
    explicit SignallingHandler(holm::platform::ManualEvent& delivered) : delivered_(delivered) {}
    bool onAsyncEvent(HlmPlg::IAsyncEvent*) override {
        delivered_.set();
        return true;
    }

  private:
    holm::platform::ManualEvent& delivered_;
};

// state.range(0): directories watched beside the file's directory.
void BM_FileWriteToOnAsyncEvent(benchmark::State& state) {
    holm::bench::ScratchDirectory scratch("holm-watch-bench");
    const fs::path file = scratch.path() / "watched" / "file";
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "";
    const auto others = static_cast<size_t>(state.range(0));
    for (size_t i = 0; i < others; ++i) {
        fs::create_directory(scratch.path() / std::to_string(i));
    }
    holm::platform::ManualEvent delivered;
    SignallingHandler handler(delivered);
    SignallingHandler ignoring(delivered);
    holm::core::AsyncGate gate({});
    holm::async::CAsyncImplObjects dispatcher(gate, nullptr, (scratch.path() / "run").string());
    holm::async::CAsyncImpl async(dispatcher, gate);
    async.registerHandler(&handler);

    const long residentBefore = holm::bench::residentKiB();
    holm::async::CAsyncImpl crowd(dispatcher, gate);  // no handler: never called
    for (size_t i = 0; i < others; ++i) {
        const std::u16string path =
            holm::common::utf8ToUtf16((scratch.path() / std::to_string(i)).string());
        if (crowd.watchDirectory(path.c_str(), 0, 0, i) == nullptr) {
            state.SkipWithError("cannot watch the directories (inotify limits?)");
            return;
        }
    }
    state.counters["watch_rss_bytes_each"] =
        others == 0 ? 0.0
                    : static_cast<double>(holm::bench::residentKiB() - residentBefore) * 1024.0 /
                          static_cast<double>(others);
    const std::u16string path = holm::common::utf8ToUtf16(file.string());
    if (async.watchFile(path.c_str(), 0, 1) == nullptr) {
        state.SkipWithError("cannot watch the file");
        return;
    }
    runLatencyLoop(state, file, delivered);
}
BENCHMARK(BM_FileWriteToOnAsyncEvent)->Arg(10)->Arg(10000)->UseManualTime()->Iterations(20000);

// The raw reader: one thread, one wait set over a stop event and one change
// notifier watching the file's directory; it reads the batch and
// calls back when an event names the file.
void BM_RawInotifyReader(benchmark::State& state) {
    holm::bench::ScratchDirectory scratch("holm-watch-bench");
    const fs::path file = scratch.path() / "watched" / "file";
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "";
    holm::platform::ManualEvent delivered;
    SignallingHandler handler(delivered);
    holm::platform::ManualEvent stop;
    auto opened = holm::platform::ChangeNotifier::open();
    holm::platform::EpollSet epoll;
    if (!opened || !opened->watch(file.parent_path().string(), true) ||
        !epoll.add(stop.descriptor(), 0) || !epoll.add(opened->descriptor(), 1)) {
        state.SkipWithError("cannot set up the reader");
        return;
    }
    holm::platform::ChangeNotifier& notifier = *opened;
    std::thread loop([&] {
        std::array<uint64_t, 4> ready{};
        std::vector<holm::platform::ChangeEvent> events;
        for (;;) {
            const int count = epoll.wait(ready);
            if (count < 0) {
                return;
            }
            for (int i = 0; i < count; ++i) {
                if (ready[static_cast<size_t>(i)] == 0) {
                    return;
                }
            }
            events.clear();
            (void)notifier.read(events);
            for (const auto& event : events) {
                if (event.name == "file") {
                    handler.onAsyncEvent(nullptr);
                    break;
                }
            }
        }
    });
    runLatencyLoop(state, file, delivered);
    stop.set();
    loop.join();
}
BENCHMARK(BM_RawInotifyReader)->UseManualTime()->Iterations(20000);

}  // namespace

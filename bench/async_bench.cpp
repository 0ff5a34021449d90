// Named-event latency: from setting a named event to the plugin's
// onAsyncEvent, through the dispatcher's event worker and the core's plugin
// boundary, against a bare FIFO + epoll loop of the same shape (the same
// FIFO, the same set, one epoll set with a stop event, drain on wake, one
// call). Each iteration sets the event and waits until the callback has
// signalled back; the per-iteration latencies give p50 and p99. On Windows a
// named event is the system's event object (platform/win/named_event.cpp):
// the bare loop there waits on that object in the same wait set and resets
// it on wake, and the directory plays no part.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "async/async_impl.h"
#include "async/dispatcher.h"
#include "bench/support/bench_support.h"
#include "core/async_gate.h"
#include "platform/epoll_set.h"
#include "platform/manual_event.h"
#include "platform/named_event.h"

namespace {

using Clock = std::chrono::steady_clock;

void report(benchmark::State& state, std::vector<double>& latencies) {
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
}

void runLatencyLoop(benchmark::State& state, const std::string& directory,
                    const std::string& fileName, holm::platform::ManualEvent& delivered) {
    std::vector<double> latencies;
    latencies.reserve(100000);
    for (auto _ : state) {
        delivered.reset();
        const auto start = Clock::now();
        if (holm::platform::setNamedEvent(directory, fileName) !=
            holm::platform::NamedEventSet::Set) {
            state.SkipWithError("cannot set the event");
            return;
        }
        if (!delivered.waitUntil(Clock::now() + std::chrono::seconds(5))) {
            state.SkipWithError("no delivery");
            return;
        }
        const std::chrono::duration<double, std::micro> latency = Clock::now() - start;
        latencies.push_back(latency.count());
        state.SetIterationTime(latency.count() / 1e6);
    }
    report(state, latencies);
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

void BM_NamedEventToOnAsyncEvent(benchmark::State& state) {
    const holm::bench::ScratchDirectory scratch("holm-bench", holm::bench::memoryBackedDirectory());
    const std::string directory = (scratch.path() / "run").string();
    holm::platform::ManualEvent delivered;
    SignallingHandler handler(delivered);
    holm::core::AsyncGate gate({});
    {
        holm::async::CAsyncImplObjects dispatcher(gate, nullptr, directory);
        holm::async::CAsyncImpl async(dispatcher, gate);
        async.registerHandler(&handler);
        if (async.watchEvent(u"bench", 1) == nullptr) {
            state.SkipWithError("cannot watch the event");
        } else {
            runLatencyLoop(state, directory, holm::platform::namedEventFileName(u"bench"),
                           delivered);
        }
    }
}
BENCHMARK(BM_NamedEventToOnAsyncEvent)->UseManualTime()->Iterations(20000);

// The bare loop: one thread, one epoll set over a stop event and the FIFO,
// drain on wake, one call.
void BM_BareFifoEpollLoop(benchmark::State& state) {
    const holm::bench::ScratchDirectory scratch("holm-bench", holm::bench::memoryBackedDirectory());
    const std::string directory = (scratch.path() / "run").string();
    const std::string fileName = holm::platform::namedEventFileName(u"bench");
    holm::platform::ManualEvent delivered;
    SignallingHandler handler(delivered);
    holm::platform::ManualEvent stop;
    holm::platform::NamedEventWatch fifo =
        holm::platform::NamedEventWatch::open(directory, fileName).valueOr({});
    holm::platform::EpollSet epoll;
    if (!fifo.valid() || !epoll.add(stop.descriptor(), 0) || !epoll.add(fifo.fd(), 1)) {
        state.SkipWithError("cannot set up the loop");
        return;
    }
    std::thread loop([&] {
        std::array<uint64_t, 64> ready{};
        for (;;) {
            const int count = epoll.wait(ready);
            for (int i = 0; i < count; ++i) {
                if (ready[static_cast<size_t>(i)] == 0) {
                    return;
                }
                holm::platform::drainNamedEvent(fifo.fd());
                handler.onAsyncEvent(nullptr);
            }
            if (count < 0) {
                return;
            }
        }
    });
    runLatencyLoop(state, directory, fileName, delivered);
    stop.set();
    loop.join();
}
BENCHMARK(BM_BareFifoEpollLoop)->UseManualTime()->Iterations(20000);

}  // namespace

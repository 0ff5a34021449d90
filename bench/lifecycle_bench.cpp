// Run and stop of 100 trivial plugins through the core (verified loading,
// Load, Start, Stop, UnLoad, unloading), against the floor of loading the
// same 100 libraries directly and finding their entry point, and bare
// SHA-256 of the same 100 files' bytes (in memory, one thread): the core
// verifies on every core, so its goal is the raw loop plus the hashing
// divided by the cores. Two further benchmarks separate the costs: the
// signature self-test of the 100 files one after the other, and a core with
// an empty plugin list (its own start-up checks). Times are wall-clock,
// since the core verifies on several threads; the CPU column is the whole
// process's (every thread).
#include <benchmark/benchmark.h>

#include <span>
#include <string>
#include <thread>
#include <vector>

#include "hlmplg/hlmplg.h"
#include "platform/io.h"
#include "platform/shared_library.h"
#include "security/crypto.h"
#include "security/verified_file.h"

namespace {

constexpr int kPluginCount = 100;

std::string pluginFile(int index) {
    return std::string(HOLM_BENCH_PLUGIN_DIR) + "/libok" + std::to_string(index) + ".so";
}

// "@XMLFILE:name=p0;file=<dir>/libok0.so;params=name=p0|...": the inline form
// separates fields with ';' and entries with '|', so params use neither.
std::u16string inlineList(int count) {
    std::string list = "@XMLFILE:";
    for (int i = 0; i < count; ++i) {
        const std::string name = "p" + std::to_string(i);
        list += (i == 0 ? "" : "|") +
                ("name=" + name + ";file=" + pluginFile(i) + ";params=name=" + name);
    }
    return std::u16string(list.begin(), list.end());  // the paths are ASCII
}

using CoreEntry = HlmPlg::IHlmCore* (*)(const char16_t*, HlmPlg::IHlmCoreHandler*, const char16_t*);

CoreEntry coreEntry() {
    static auto library = holm::platform::SharedLibrary::open(HOLM_CORE_LIBRARY).valueOr({});
    return reinterpret_cast<CoreEntry>(library.symbol("getHlmCore"));
}

void runAndStop(benchmark::State& state, int count) {
    const CoreEntry entry = coreEntry();
    if (entry == nullptr) {
        state.SkipWithError("core library not loaded");
        return;
    }
    const std::u16string list = inlineList(count);
    for (auto _ : state) {
        HlmPlg::IHlmCore* core = entry(list.c_str(), nullptr, nullptr);
        if (core == nullptr || core->run(false) != 0 || core->stop() != 0) {
            delete core;
            state.SkipWithError("the core did not run the plugins");
            return;
        }
        delete core;
    }
}

void BM_CoreRunStop100Plugins(benchmark::State& state) {
    runAndStop(state, kPluginCount);
}
BENCHMARK(BM_CoreRunStop100Plugins)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// The core's fixed part: its own self-tests and an empty run and stop.
void BM_CoreRunStopEmptyList(benchmark::State& state) {
    runAndStop(state, 0);
}
BENCHMARK(BM_CoreRunStopEmptyList)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// The floor: load each library, find its entry point, unload it again.
void BM_RawLoadUnload100Plugins(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<holm::platform::SharedLibrary> libraries;
        libraries.reserve(kPluginCount);
        for (int i = 0; i < kPluginCount; ++i) {
            libraries.push_back(holm::platform::SharedLibrary::open(pluginFile(i)).valueOr({}));
            if (libraries.back().symbol("getHlmPlugin2") == nullptr) {
                state.SkipWithError("a plugin copy did not load");
                return;
            }
        }
    }
}
BENCHMARK(BM_RawLoadUnload100Plugins)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// The verification the core adds per plugin: the signature self-test.
void BM_Selftest100Plugins(benchmark::State& state) {
    for (auto _ : state) {
        for (int i = 0; i < kPluginCount; ++i) {
            const auto verified =
                holm::security::selftest(pluginFile(i), holm::security::UnsignedFiles::Refuse,
                                         holm::security::LoadedFiles::Verify);
            if (!verified.passed()) {
                state.SkipWithError("a plugin copy failed its self-test");
                return;
            }
        }
    }
}
BENCHMARK(BM_Selftest100Plugins)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// The hashing floor of verification: SHA-256 of the 100 files' bytes, read
// into memory beforehand, on one thread. The "cores" counter is what the
// core divides this work by.
void BM_Sha256Of100Plugins(benchmark::State& state) {
    std::vector<std::string> contents;
    for (int i = 0; i < kPluginCount; ++i) {
        auto content = holm::platform::io::readSmallFile(pluginFile(i), 64u << 20);
        if (!content) {
            state.SkipWithError("a plugin copy could not be read");
            return;
        }
        contents.push_back(std::move(*content));
    }
    for (auto _ : state) {
        for (const std::string& content : contents) {
            benchmark::DoNotOptimize(holm::security::sha256(std::span<const uint8_t>(
                reinterpret_cast<const uint8_t*>(content.data()), content.size())));
        }
    }
    state.counters["cores"] = static_cast<double>(std::thread::hardware_concurrency());
}
BENCHMARK(BM_Sha256Of100Plugins)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

}  // namespace

// Value reads and writes per second in the registry store (each write is a
// durable, atomic replacement: temporary file, fsync, rename, under the key's
// lock).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "registry/registry.h"

namespace {

namespace reg = holm::registry;

// A store in a fresh temporary directory, removed afterwards.
struct Fixture {
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("holm-registry-bench-" + std::to_string(std::random_device{}()));
    reg::Store store;
    reg::Key key;

    Fixture() {
        if (auto opened = reg::Store::open(dir / "store")) {
            store = std::move(*opened);
            key = reg::Key::create(store, reg::Root::LocalMachine, u"SOFTWARE\\Bench\\Values")
                      .valueOr(reg::Key());
        }
    }
    // Writes the value a benchmark reads; false (the benchmark skipped) when
    // the store could not be set up.
    bool prepare(benchmark::State& state, std::u16string_view name, const reg::Value& value) {
        if (!key.valid() || !key.setValue(name, value)) {
            state.SkipWithError("the store could not be set up");
            return false;
        }
        return true;
    }
    ~Fixture() {
        key = reg::Key();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

reg::Value sample(bool binary) {
    return binary ? reg::makeBinary(std::vector<uint8_t>(1024, 0x5A)) : reg::makeDword(42);
}

void BM_ReadValue(benchmark::State& state) {
    Fixture fixture;
    const reg::Value value = sample(state.range(0) != 0);
    if (!fixture.prepare(state, u"Value", value)) {
        return;
    }
    for (auto _ : state) {
        auto read = fixture.key.queryValue(u"Value");
        if (!read) {
            state.SkipWithError("read failed");
        }
        benchmark::DoNotOptimize(read);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.range(0) ? "1 KiB binary" : "DWORD");
}

void BM_OpenKeyAndReadValue(benchmark::State& state) {
    Fixture fixture;
    if (!fixture.prepare(state, u"DisableSEH", reg::makeDword(1))) {
        return;
    }
    for (auto _ : state) {
        const auto key =
            reg::Key::open(fixture.store, reg::Root::LocalMachine, u"SOFTWARE\\Bench\\Values");
        if (!key || !key->queryValue(u"DisableSEH")) {
            state.SkipWithError("read failed");
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_WriteValue(benchmark::State& state) {
    Fixture fixture;
    const reg::Value value = sample(state.range(0) != 0);
    for (auto _ : state) {
        if (!fixture.key.setValue(u"Value", value)) {
            state.SkipWithError("write failed");
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.range(0) ? "1 KiB binary" : "DWORD");
}

}  // namespace

BENCHMARK(BM_ReadValue)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_OpenKeyAndReadValue)->UseRealTime();
BENCHMARK(BM_WriteValue)->Arg(0)->Arg(1)->UseRealTime();

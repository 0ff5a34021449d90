// Configuration reads through IConfig objects with the configuration library
// bound, against the same library calls (size query and read) under one
// mutex; and a reload with 100 handlers whose objects read 1,000 values.
//
// The library is the signed libholmcfg.so of the build's product directory;
// the configuration file lives in a temporary directory of the run.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "common/cfglib_abi.h"
#include "common/utf16.h"
#include "platform/shared_library.h"
#include "services/cfglib_binding.h"
#include "services/config_impl.h"
#include "services/config_store.h"
#include "utilities/master_text_reader.h"
#include "utilities/product_settings.h"

namespace {

namespace fs = std::filesystem;
namespace util = Tandro::Utilities;
using holm::services::CConfigImplEx;
using holm::services::CConfigStore;

constexpr int kValues = 10;  // values per section, read in turn

// A data directory of the run with the configuration file in it.
class Layout {
  public:
    Layout() {
        // create_directory is the existence test: a name taken is not reused.
        std::random_device random;
        do {
            directory_ =
                (fs::temp_directory_path() / ("holm-config-bench-" + std::to_string(random())))
                    .string();
        } while (!fs::create_directory(directory_));
        std::ofstream file(configFile());
        file << "[COMMON]\nUseSystemTempPath = 0\n";
        for (int section = 0; section < 10; ++section) {
            file << "[S" << section << "]\n";
            for (int value = 0; value < kValues; ++value) {
                file << "Name" << value << " = text value " << section << "." << value << "\n";
                file << "Count" << value << " = " << section * 100 + value << "\n";
            }
        }
    }
    ~Layout() {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
    std::string configFile() const { return directory_ + "/holm.conf"; }
    std::string directory() const { return directory_ + "/"; }

  private:
    std::string directory_;
};

const Layout& layout() {
    static const Layout shared;
    return shared;
}

class Settings : public util::IProductSettings {
  public:
    std::u16string getProductRegistryKey() const override { return u"SOFTWARE\\HolmBench"; }
    std::u16string getProductDirectory() const override {
        return holm::common::utf8ToUtf16(HOLM_PRODUCT_DIR "/");
    }
    std::u16string getDataDirectory() const override {
        return holm::common::utf8ToUtf16(layout().directory());
    }
    std::u16string getConfigurationFile() const override {
        return holm::common::utf8ToUtf16(layout().configFile());
    }
};

class Masters : public util::IMasterTextReader {
  public:
    std::u16string getText(std::u16string_view name) const override {
        return name == u"#FN_CFGLIB" ? u"libholmcfg.so" : u"";
    }
};

// The store every object of the run shares, as the objects of one core do.
CConfigStore& store() {
    static const Settings settings;
    static CConfigStore shared(settings, std::make_shared<Masters>());
    return shared;
}

std::unique_ptr<CConfigImplEx> makeObject() {
    return std::make_unique<CConfigImplEx>(store(), CConfigImplEx::ResultList());
}

std::u16string valueName(const char16_t* stem, int64_t index) {
    return stem + holm::common::utf8ToUtf16(std::to_string(index % kValues));
}

void BM_IConfigReadString(benchmark::State& state) {
    auto object = makeObject();
    if (object->readString(u"S1", u"Name1", u"")[0] != u't') {
        state.SkipWithError("the configuration library is not bound");
        return;
    }
    int64_t index = 0;
    for (auto _ : state) {
        const std::u16string key = valueName(u"Name", index++);
        benchmark::DoNotOptimize(object->readString(u"S1", key.c_str(), u""));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IConfigReadString)->Threads(1)->Threads(2)->UseRealTime();

void BM_IConfigReadInt(benchmark::State& state) {
    auto object = makeObject();
    int64_t index = 0;
    for (auto _ : state) {
        const std::u16string key = valueName(u"Count", index++);
        benchmark::DoNotOptimize(object->readInt(u"S1", key.c_str(), -1));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IConfigReadInt)->Threads(1)->Threads(2)->UseRealTime();

// The baseline: the library loaded directly and called as a minimal caller
// would, the size query and the read of a text under one mutex.
struct DirectLibrary {
    DirectLibrary() {
        auto loaded = holm::platform::SharedLibrary::open(HOLM_PRODUCT_DIR "/libholmcfg.so");
        if (!loaded) {
            return;
        }
        library = std::move(*loaded);
        auto init = reinterpret_cast<CfgLibInitFn>(library.symbol("CfgLib_Dll_Init"));
        readString = reinterpret_cast<CfgLibReadStringFn>(library.symbol("CfgLib_Dll_ReadString"));
        readInt = reinterpret_cast<CfgLibReadIntFn>(library.symbol("CfgLib_Dll_ReadInt"));
        const std::u16string file = holm::common::utf8ToUtf16(layout().configFile());
        if (init == nullptr || init(&handle, file.c_str(), 1) != 0) {
            handle = nullptr;
        }
    }
    bool ready() const { return handle != nullptr && readString != nullptr && readInt != nullptr; }

    holm::platform::SharedLibrary library;
    CfgLibHandle handle = nullptr;
    CfgLibReadStringFn readString = nullptr;
    CfgLibReadIntFn readInt = nullptr;
    std::mutex lock;
};

DirectLibrary& direct() {
    static DirectLibrary shared;
    return shared;
}

// Runs `read(library, path)` under the library's one mutex for the values
// `<prefix>N` of section S1: the baseline the IConfig reads are measured by.
template <typename Read>
void runDirect(benchmark::State& state, const char16_t* prefix, Read read) {
    DirectLibrary& library = direct();
    if (!library.ready()) {
        state.SkipWithError("the configuration library cannot be loaded");
        return;
    }
    int64_t index = 0;
    for (auto _ : state) {
        const std::u16string path = u"S1\\" + valueName(prefix, index++);
        std::lock_guard guard(library.lock);
        read(library, path);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DirectReadString(benchmark::State& state) {
    runDirect(state, u"Name", [](DirectLibrary& library, const std::u16string& path) {
        uint32_t size = 0;
        library.readString(library.handle, path.c_str(), u"", nullptr, &size, 0);
        std::u16string buffer(size, u'\0');
        library.readString(library.handle, path.c_str(), u"", buffer.data(), &size, 0);
        benchmark::DoNotOptimize(buffer);
    });
}
BENCHMARK(BM_DirectReadString)->Threads(1)->Threads(2)->UseRealTime();

void BM_DirectReadInt(benchmark::State& state) {
    runDirect(state, u"Count", [](DirectLibrary& library, const std::u16string& path) {
        int32_t value = 0;
        library.readInt(library.handle, path.c_str(), -1, &value, 0);
        benchmark::DoNotOptimize(value);
    });
}
BENCHMARK(BM_DirectReadInt)->Threads(1)->Threads(2)->UseRealTime();

class CountingHandler : public HlmPlg::IConfigHandler {
  public:
    void onConfigReloaded() override { ++reloaded; }
    void onConfigChanged() override { ++changed; }
    int64_t reloaded = 0;
    int64_t changed = 0;
};

// The reload phase's work: the library re-reads the file, every handler hears
// the reload, and each object's 10 records are read again to decide whether
// its handler hears a change. (The core adds its plugin boundary per call.)
void BM_ReloadWith100HandlersAnd1000Records(benchmark::State& state) {
    std::vector<std::unique_ptr<CConfigImplEx>> objects;
    std::vector<std::unique_ptr<CountingHandler>> handlers;
    for (int i = 0; i < 100; ++i) {
        objects.push_back(makeObject());
        handlers.push_back(std::make_unique<CountingHandler>());
        objects.back()->registerHandler(handlers.back().get());
        const std::u16string section = u"S" + holm::common::utf8ToUtf16(std::to_string(i % 10));
        for (int value = 0; value < kValues / 2; ++value) {
            objects.back()->readString(section.c_str(), valueName(u"Name", value).c_str(), u"");
            objects.back()->readInt(section.c_str(), valueName(u"Count", value).c_str(), -1);
        }
    }
    CConfigStore& shared = store();
    for (auto _ : state) {
        shared.reload();
        auto& list = shared.handlers();
        for (const auto& pair : list.snapshot()) {
            list.callIfRegistered(pair, [&](const holm::services::ConfigHandlerPair& called) {
                called.handler->onConfigReloaded();
                if (shared.changed(called.object)) {
                    called.handler->onConfigChanged();
                }
            });
        }
    }
    if (handlers.front()->reloaded != static_cast<int64_t>(state.iterations()) ||
        handlers.front()->changed != 0) {
        state.SkipWithError("handlers were not called as expected");
    }
    for (size_t i = 0; i < objects.size(); ++i) {
        objects[i]->unregisterHandler(handlers[i].get());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReloadWith100HandlersAnd1000Records)->Unit(benchmark::kMicrosecond);

}  // namespace

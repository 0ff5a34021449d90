// The core's hot paths: creating and releasing service objects through the
// facade, reading a large plugin list, and a whole core start-up.
#include <benchmark/benchmark.h>
#include <expat.h>

#include <string>

#include "core/plugin_list.h"
#include "core/plugin_manager.h"
#include "hlmplg/hlmplg.h"
#include "platform/shared_library.h"

namespace {

class TrivialProvider : public HlmPlg::CHlmPlg {
  public:
    HlmPlg::IInterface* createInterface(int32_t) override { return new HlmPlg::IInterface; }
};

holm::core::CPluginManager& sharedManager() {
    static holm::core::CPluginManager manager;
    static TrivialProvider provider;
    static bool registered = manager.registerProvider(30, &provider);
    (void)registered;
    return manager;
}

void BM_CreateReleasePair(benchmark::State& state) {
    auto& manager = sharedManager();
    for (auto _ : state) {
        HlmPlg::IInterface* object = manager.createInterface(nullptr, 30);
        manager.releaseInterface(nullptr, 30, object);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreateReleasePair)->Threads(1)->Threads(2)->UseRealTime();

std::string makeList(int entries) {
    std::string xml =
        "<?xml version=\"1.0\"?>\n<list>\n <service><name>guard</name></service>\n <plugins>\n";
    for (int i = 0; i < entries; ++i) {
        const std::string n = std::to_string(i);
        xml += "  <plugin name=\"plugin" + n + "\" file=\"lib/plugin" + n + ".so\" params=\"p" + n +
               "\"/>\n";
    }
    return xml + " </plugins>\n</list>\n";
}

void BM_ParseListWithReader(benchmark::State& state) {
    const std::string xml = makeList(1000);
    auto resolve = [](const std::u16string& file) { return u"/opt/holm/" + file; };
    for (auto _ : state) {
        holm::core::PluginList list(resolve, resolve);
        list.loadXml(xml, u"plugins.xml");
        benchmark::DoNotOptimize(list.readEntries("plugins"));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
}
BENCHMARK(BM_ParseListWithReader);

// The floor: Expat alone, counting elements, on the same document.
void BM_ParseListWithRawExpat(benchmark::State& state) {
    const std::string xml = makeList(1000);
    for (auto _ : state) {
        XML_Parser parser = XML_ParserCreate("UTF-8");
        int elements = 0;
        XML_SetUserData(parser, &elements);
        XML_SetStartElementHandler(parser, [](void* count, const XML_Char*, const XML_Char**) {
            ++*static_cast<int*>(count);
        });
        XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE);
        XML_ParserFree(parser);
        benchmark::DoNotOptimize(elements);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
}
BENCHMARK(BM_ParseListWithRawExpat);

// getHlmCore and destruction of a core with an inline list: the signature
// checks of the core library and the master text library dominate.
void BM_CoreInitialisation(benchmark::State& state) {
    static auto library = holm::platform::SharedLibrary::open(HOLM_CORE_LIBRARY).valueOr({});
    using Entry = HlmPlg::IHlmCore* (*)(const char16_t*, HlmPlg::IHlmCoreHandler*, const char16_t*);
    auto entry = reinterpret_cast<Entry>(library.symbol("getHlmCore"));
    if (entry == nullptr) {
        state.SkipWithError("core library not loaded");
        return;
    }
    for (auto _ : state) {
        HlmPlg::IHlmCore* core = entry(u"@XMLFILE:", nullptr, nullptr);
        benchmark::DoNotOptimize(core);
        delete core;
    }
}
BENCHMARK(BM_CoreInitialisation)->Unit(benchmark::kMicrosecond);

}  // namespace

// libdemo_engine.so: a stand-in for the scanning engine, a second-generation
// plugin serving "Holm/ENGINE/2.0" with its object "ILocalDecider".
//
// It shows the second-generation model: the library exports PluginFactory,
// which makes the root object for a factory name; the second plugin manager
// calls init, start, stop and uninit on the root and asks it for objects by
// type name on behalf of others. First-generation plugins reach this engine
// through the core's legacy bridge (interface id 57, HlmPlg::IEngine).
#include <cstring>
#include <string>

#include "hlmplg/engine.h"
#include "hlmplg/plugin2.h"

namespace {

// Each entry: a length byte, then that many characters.
constexpr uint8_t kExtensions[] = {3,   'e', 'x', 'e', 3,   'd', 'l', 'l', 3,  's',
                                   'y', 's', 2,   'j', 's', 3,   'd', 'o', 'c'};

// The engine's version record: its values at the byte offsets the legacy
// bridge reads (4 to 19, 20, 24 and 28 for the first version; 52 to 58 for
// the second).
HlmPlg::EngineVersionSource makeVersionSource() {
    HlmPlg::EngineVersionSource source{};
    auto put32 = [&](size_t offset, uint32_t value) {
        for (size_t i = 0; i < 4; ++i) {
            source.bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    };
    put32(4, 8);      // major
    put32(8, 2);      // minor
    put32(12, 2026);  // build
    put32(16, 12);    // revision
    put32(20, 7);
    put32(24, 1);
    put32(28, 0);
    source.bytes[52] = 0x34;
    source.bytes[53] = 0x12;
    for (uint8_t i = 0; i < 5; ++i) {
        source.bytes[54 + i] = static_cast<uint8_t>(i + 1);
    }
    return source;
}

class LocalDecider final : public HlmPlg::RefCounted<HlmPlg::ILocalDecider> {
  public:
    LocalDecider() : source_(makeVersionSource()) {
        information_.versionA = &source_;
        information_.versionB = &source_;
    }
    const char* getTypeName() override { return HlmPlg::kEngineObjectName; }
    uint32_t getExtensionList(HlmPlg::ExtensionList* list) override {
        list->totalLength = sizeof(kExtensions);
        list->count = 5;
        list->data = kExtensions;
        return 0;
    }
    void freeExtensionList(HlmPlg::ExtensionList* list) override { list->data = nullptr; }
    const HlmPlg::EngineInformation* getInformation() override { return &information_; }

  private:
    ~LocalDecider() override = default;

    HlmPlg::EngineVersionSource source_;
    HlmPlg::EngineInformation information_{};
};

class EnginePlugin final : public HlmPlg::RefCounted<HlmPlg::IHolmPlugin2> {
  public:
    const char* getTypeName() override { return HlmPlg::kEngineFactoryName; }
    // The engine serves its objects as soon as it is loaded: first-generation
    // plugins ask for it while they start, before the second generation does.
    uint32_t init(HlmPlg::IPluginManager2* manager) override {
        manager->setAvailableAfterInit();
        return 0;
    }
    void uninit() override {}
    uint32_t start() override { return 0; }
    void stop() override {}
    HlmPlg::IPluginObject2* createObject(const char* typeName) override {
        return std::strcmp(typeName, HlmPlg::kEngineObjectName) == 0 ? new LocalDecider() : nullptr;
    }

  private:
    ~EnginePlugin() override = default;
};

}  // namespace

HLMPLG_PLUGIN_FACTORY {
    return std::strcmp(factoryName, HlmPlg::kEngineFactoryName) == 0 ? new EnginePlugin() : nullptr;
}

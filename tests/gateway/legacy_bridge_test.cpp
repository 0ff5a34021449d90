// The legacy bridge: the records it reads from the engine and the I/O driver
// bridge, and ids 57 and 58 served by the example stand-ins through a real
// manager.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "containers/key_value_list.h"
#include "containers/string_list.h"
#include "core/plugin_manager.h"
#include "gateway/engine_records.h"
#include "gateway/legacy_bridge.h"
#include "gateway/plugin_manager2.h"
#include "gateway/support/fake_core.h"

namespace {

using holm::containers::CKeyValueListImpl;
using holm::containers::CStringListImpl;

using holm::gateway::extensionsOf;
using holm::gateway::LBAvhioAccess;
using holm::gateway::LBEngineAccess;
using holm::gateway::LegacyBridge;
using holm::gateway::PluginManager2;

std::vector<std::u16string> walk(const std::vector<uint8_t>& data, uint16_t count,
                                 uint16_t totalLength) {
    return extensionsOf(HlmPlg::ExtensionList{totalLength, count, data.data()});
}

std::vector<uint8_t> entryOf(int length, char fill = 'a') {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(length)};
    bytes.insert(bytes.end(), static_cast<size_t>(length), static_cast<uint8_t>(fill));
    return bytes;
}

TEST(ExtensionList, EntriesBecomeUpperCaseTextsWithADot) {
    std::vector<uint8_t> data = {3, 'e', 'x', 'E', 2, 'j', 's'};
    EXPECT_EQ(walk(data, 2, 7), (std::vector<std::u16string>{u".EXE", u".JS"}));
    EXPECT_EQ(walk(data, 1, 7), (std::vector<std::u16string>{u".EXE"}));
}

// Length 19 keeps 18 characters; 0 and 20 add nothing and the walk goes on.
TEST(ExtensionList, LengthsOutsideOneToNineteenAreSkipped) {
    std::vector<uint8_t> data;
    for (const auto& part : {entryOf(19, 'b'), entryOf(0), entryOf(20, 'c'), entryOf(1, 'd')}) {
        data.insert(data.end(), part.begin(), part.end());
    }
    const auto texts = walk(data, 4, static_cast<uint16_t>(data.size()));
    EXPECT_EQ(texts, (std::vector<std::u16string>{u"." + std::u16string(18, u'B'), u".D"}));
}

// The walk never reads outside totalLength bytes of data: an entry running
// past it ends the walk, as does a negative length (malformed data).
TEST(ExtensionList, MalformedListsStopTheWalk) {
    std::vector<uint8_t> data = {3, 'e', 'x', 'e', 5, 'a', 'b'};
    EXPECT_EQ(walk(data, 9, static_cast<uint16_t>(data.size())),
              (std::vector<std::u16string>{u".EXE"}));
    EXPECT_EQ(walk(data, 2, 3), (std::vector<std::u16string>{}));
    std::vector<uint8_t> negative = {0xFE, 'a', 'b', 2, 'j', 's'};
    EXPECT_TRUE(walk(negative, 2, 6).empty());
    EXPECT_TRUE(extensionsOf(HlmPlg::ExtensionList{10, 2, nullptr}).empty());
}

TEST(EngineVersion, RecordsTakeTheirBytesFromFixedOffsets) {
    HlmPlg::EngineVersionSource source{};
    for (size_t i = 0; i < sizeof(source.bytes); ++i) {
        source.bytes[i] = static_cast<uint8_t>(i);
    }
    const HlmPlg::EngineVersion a = holm::gateway::versionA(source);
    EXPECT_EQ(a.values[0], 0x07060504u);
    EXPECT_EQ(a.values[3], 0x13121110u);
    EXPECT_EQ(a.parts[0], 0x1514u);  // low half of the 32-bit value at 20
    EXPECT_EQ(a.parts[1], 0x1918u);
    EXPECT_EQ(a.parts[2], 0x1D1Cu);
    EXPECT_EQ(a.parts[3] | a.parts[4] | a.parts[5], 0);

    const HlmPlg::EngineVersion b = holm::gateway::versionB(source);
    EXPECT_EQ(b.values[1], 0x0B0A0908u);
    EXPECT_EQ(b.parts[0], 0x3534u);  // 16 bits at 52
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(b.parts[1 + i], 54 + i);  // bytes 54 to 58, widened
    }
}

TEST(AvhioStatistics, CountersMapToTheirKeys) {
    HlmPlg::AvhioStatistics statistics{};
    for (int i = 0; i < 9; ++i) {
        statistics.counters[i] = 100 + i;
    }
    statistics.lastVirus[0] = u'V';
    CKeyValueListImpl list;
    holm::gateway::writeStatistics(statistics, list);
    const std::vector<std::pair<const char16_t*, int>> expected = {
        {u"file", 102},    {u"virus", 103},    {u"deleted", 104},   {u"moved", 105},
        {u"renamed", 106}, {u"repaired", 107}, {u"suspicious", 108}};
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(list.getInt(key), value) << std::string(key, key + 4);
    }
    EXPECT_EQ(std::u16string(list.getString(u"lastvirus")), u"V");
    EXPECT_EQ(std::u16string(list.getString(u"lastfile")), u"");

    CKeyValueListImpl given;
    given.setInt(u"deleted", 1);
    given.setInt(u"repaired", 2);
    given.setInt(u"renamed", 4);
    given.setInt(u"file", 9);  // not taken over
    const HlmPlg::AvhioStatistics read = holm::gateway::readStatistics(given);
    EXPECT_EQ(read.counters[HlmPlg::AvhioStatistics::Deleted], 1);
    EXPECT_EQ(read.counters[HlmPlg::AvhioStatistics::Repaired], 2);
    EXPECT_EQ(read.counters[HlmPlg::AvhioStatistics::Moved], given.getInt(u"moved"));
    EXPECT_EQ(read.counters[HlmPlg::AvhioStatistics::Renamed], 4);
    EXPECT_EQ(read.counters[HlmPlg::AvhioStatistics::Files], 0);
}

TEST(LegacyBridge, ProvidesIds57And58) {
    holm::core::CPluginManager facade;
    LegacyBridge bridge(&facade);
    ASSERT_TRUE(bridge.load());
    EXPECT_EQ(bridge.createInterface(59), nullptr);
    HlmPlg::IInterface* engine = facade.createInterface(&bridge, HlmPlg::IID_ENGINE);
    EXPECT_NE(dynamic_cast<HlmPlg::IEngine*>(engine), nullptr);
    facade.releaseInterface(&bridge, HlmPlg::IID_ENGINE, engine);
    EXPECT_TRUE(bridge.unload());
    EXPECT_EQ(facade.createInterface(&bridge, HlmPlg::IID_AVHIO), nullptr);
}

// Before the manager is initialised the access objects have nothing to call.
TEST(LegacyBridge, WithoutManagerEverythingFails) {
    LegacyBridge bridge(nullptr);
    LBEngineAccess engine(bridge);
    CStringListImpl list;
    EXPECT_FALSE(engine.getExtensionList(&list));
    EXPECT_EQ(list.getCount(), 0);
    EXPECT_EQ(engine.notifyUpdate(), 0u);
    HlmPlg::EngineVersion version{};
    EXPECT_FALSE(engine.getVersionA(&version));
    LBAvhioAccess avhio(bridge);
    EXPECT_EQ(avhio.getState(), 0u);
    EXPECT_FALSE(avhio.isActive());
}

// The example engine and I/O driver bridge, and the core library's gateway,
// loaded by a manager, reached through the bridge.
class BridgeWithStandIns : public ::testing::Test {
  protected:
    void SetUp() override {
        manager_.reset(PluginManager2::create());
        const std::string plugins = HOLM_EXAMPLE_PLUGIN_DIR;
        auto entry = [](const std::string& file, const std::string& factory) {
            return holm::core::PluginListEntry{u"", std::u16string(file.begin(), file.end()),
                                               std::u16string(factory.begin(), factory.end())};
        };
        holm::core::SecondGenerationContext context;
        context.core = &core_;
        ASSERT_EQ(
            manager_->initialize(
                {entry(HOLM_CORE_LIBRARY, "Holm/Gateway/1.0"),
                 entry(plugins + "/libdemo_engine" HOLM_TEST_PLUGIN_SUFFIX, "Holm/ENGINE/2.0"),
                 entry(plugins + "/libdemo_avhio" HOLM_TEST_PLUGIN_SUFFIX, "Holm/AVHIO/2.0")},
                context),
            0u);
        ASSERT_EQ(manager_->count(), 3u);
    }
    void TearDown() override { manager_->unload(); }

    holm::test::FakeCore core_;
    LegacyBridge bridge_{nullptr};
    HlmPlg::RefPtr<PluginManager2> manager_;
};

TEST_F(BridgeWithStandIns, EngineServesExtensionsVersionAndUpdates) {
    LBEngineAccess engine(bridge_);
    CStringListImpl list;
    ASSERT_TRUE(engine.getExtensionList(&list));
    ASSERT_EQ(list.getCount(), 5);
    HlmPlg::EngineVersion version{};
    ASSERT_TRUE(engine.getVersionA(&version));
    EXPECT_EQ(version.values[0], 8u);
    EXPECT_EQ(version.parts[0], 7u);
    ASSERT_TRUE(engine.getVersionB(&version));
    EXPECT_EQ(version.parts[0], 0x1234u);

    struct Counter : HlmPlg::ISubscriber2 {
        void onNotify() override { ++calls; }
        int calls = 0;
    } subscriber;
    auto* notifier = dynamic_cast<HlmPlg::IHP2ObjNotifier*>(
        manager_->createObject("Holm/Gateway/1.0", "IUpdateNotifier"));
    ASSERT_NE(notifier, nullptr);
    notifier->subscribe(&subscriber);
    EXPECT_EQ(engine.notifyUpdate(), 0u);
    EXPECT_EQ(subscriber.calls, 1);
    notifier->unsubscribe(&subscriber);
}

// The driver bridge answers once started; statistics go both ways.
TEST_F(BridgeWithStandIns, DriverBridgeAnswersOnceStarted) {
    LBAvhioAccess avhio(bridge_);
    EXPECT_FALSE(avhio.isActive());
    manager_->start(true);
    EXPECT_TRUE(avhio.isActive());
    EXPECT_TRUE(avhio.control(1, 0));
    EXPECT_FALSE(avhio.control(0, 0));

    CKeyValueListImpl update;
    update.setInt(u"moved", 3);
    EXPECT_TRUE(avhio.setStatistics(&update));
    CKeyValueListImpl statistics;
    avhio.getStatistics(&statistics);
    EXPECT_EQ(statistics.getInt(u"file"), 42);
    EXPECT_EQ(statistics.getInt(u"moved"), 3);
    EXPECT_EQ(std::u16string(statistics.getString(u"lastfile")), u"/srv/share/report.doc");
}

}  // namespace

// Service objects of a real core, reached as a plugin reaches them: debug
// lines, the report log and text files, and the gateway the core library
// serves as a second-generation plugin.
#include <gtest/gtest.h>

#include <string>

#include "core/support/running_core.h"
#include "hlmplg/hlmplg.h"
#include "platform/shared_library.h"
#include "support/test_support.h"

namespace core_services_test {

using holm::test::ServicesThroughCore;
using namespace HlmPlg;

// A narrow format is converted to UTF-16 before use: %S takes narrow text,
// %s UTF-16 text, as in every other format.
TEST_F(ServicesThroughCore, NarrowTracesTakeNarrowTextWithCapitalS) {
    auto* debug = create<IDebug>(IID_DEBUG);
    ASSERT_NE(debug, nullptr);
    debug->traceNarrow(1, "[%S]", "abc");
    debug->traceNarrowDefault("[%s|%S]", u"wide", "narrow");
    core_->releaseInterface(IID_DEBUG, debug);
    EXPECT_TRUE(host_.logged(u"[abc]"));
    EXPECT_TRUE(host_.logged(u"[wide|narrow]"));
}

// A file in a directory that does not exist: "path not found" (3), as
// against "file not found" (2) for a missing file in an existing directory.
TEST_F(ServicesThroughCore, FilesInAMissingDirectoryGivePathNotFound) {
    const std::u16string missing = holm::test::u16(dir_.path() / "none" / "report.log");
    auto* log = create<ILog>(IID_LOG);
    ASSERT_NE(log, nullptr);
    EXPECT_FALSE(log->open(missing.c_str(), 1, 0, false));
    EXPECT_EQ(log->getLastError(), 3u);
    core_->releaseInterface(IID_LOG, log);

    auto* file = create<ITxtFile>(IID_TXTFILE);
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(file->create(missing.c_str(), true, true));
    EXPECT_EQ(file->getLastError(), 3u);
    EXPECT_FALSE(file->create(missing.c_str(), true, false));
    EXPECT_EQ(file->getLastError(), 3u);
    EXPECT_FALSE(file->open(missing.c_str(), false));
    EXPECT_EQ(file->getLastError(), 3u);
    EXPECT_FALSE(file->open(holm::test::u16(dir_.path() / "absent.txt").c_str(), false));
    EXPECT_EQ(file->getLastError(), 2u);
    core_->releaseInterface(IID_TXTFILE, file);
}

// The gateway's notifiers are its own objects from its construction on:
// they are handed out before init, the wrappers that need the core are not.
TEST(GatewayOfTheCoreLibrary, NotifiersBeforeInit) {
    static holm::platform::SharedLibrary library =
        holm::platform::SharedLibrary::open(HOLM_CORE_LIBRARY).valueOr({});
    using Factory = IPluginObject2* (*)(const char*);
    auto factory = reinterpret_cast<Factory>(library.symbol("PluginFactory"));
    ASSERT_NE(factory, nullptr);
    RefPtr<IHolmPlugin2> gateway(dynamic_cast<IHolmPlugin2*>(factory("Holm/Gateway/1.0")));
    ASSERT_TRUE(gateway);
    IPluginObject2* update = gateway->createObject("IUpdateNotifier");
    ASSERT_NE(update, nullptr);
    EXPECT_STREQ(update->getTypeName(), "IUpdateNotifier");
    IPluginObject2* config = gateway->createObject("IConfigNotifier");
    ASSERT_NE(config, nullptr);
    EXPECT_STREQ(config->getTypeName(), "IConfigNotifier");
    EXPECT_EQ(gateway->createObject("IConfig"), nullptr);
    EXPECT_EQ(gateway->createObject("IAvLog"), nullptr);
}

}  // namespace core_services_test

#include "services/debug.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "services/exception_names.h"

namespace {

using holm::services::CHlmPlgDebug;
using holm::services::DebugLinks;

struct Line {
    uint32_t level;
    std::u16string source;
    std::u16string text;
};

class LineCollector : public HlmPlg::IHlmCoreHandler {
  public:
    void log(uint32_t level, const char16_t* source, const char16_t* text) override {
        std::lock_guard guard(lock);
        lines.push_back({level, source, text});
    }
    std::mutex lock;
    std::vector<Line> lines;
};

class Owner : public HlmPlg::CHlmPlg {
  public:
    Owner() : CHlmPlg(u"scanner", nullptr) {}
};

class DebugTest : public ::testing::Test {
  protected:
    CHlmPlgDebug makeDebug(HlmPlg::IHlmCoreHandler* host) {
        DebugLinks links;
        links.host = [host] { return host; };
        links.ownerName = [](HlmPlg::CHlmPlg* plugin) { return std::u16string(plugin->getName()); };
        CHlmPlgDebug debug(std::move(links));
        debug.m_owner = &owner;
        return debug;
    }
    Owner owner;
    LineCollector host;
};

// Every operation formats exactly once: "%%" is one percent sign whichever
// entry a line takes, and the level of the default operations is 0.
TEST_F(DebugTest, EveryOperationFormatsOnceAndTagsThePluginName) {
    CHlmPlgDebug debug = makeDebug(&host);
    debug.trace(1, u"%d%% of %s", 50, u"files");
    debug.traceDefault(u"100%% %S", "done");
    debug.traceNarrow(1, "%S=%d%%", "load", 7);
    debug.traceNarrowDefault("%s %%", u"wide");
    debug.traceSource(1, u"other", u"%%%%");

    ASSERT_EQ(host.lines.size(), 5u);
    EXPECT_EQ(host.lines[0].text, u"50% of files");
    EXPECT_EQ(host.lines[0].level, 1u);
    EXPECT_EQ(host.lines[1].text, u"100% done");
    EXPECT_EQ(host.lines[1].level, 0u);
    EXPECT_EQ(host.lines[2].text, u"load=7%");
    EXPECT_EQ(host.lines[3].text, u"wide %");
    EXPECT_EQ(host.lines[3].level, 0u);
    EXPECT_EQ(host.lines[4].text, u"%%");
    EXPECT_EQ(host.lines[4].source, u"other");
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(host.lines[i].source, u"scanner") << i;
    }
}

// Plugin text is outside text: a line break in it never splits the log line.
TEST_F(DebugTest, ControlCharactersAreEscapedAndNullFormatsAreEmpty) {
    CHlmPlgDebug debug = makeDebug(&host);
    debug.traceDefault(u"a\nb%s", u"\r");
    debug.traceNarrowDefault(nullptr);
    ASSERT_EQ(host.lines.size(), 2u);
    EXPECT_EQ(host.lines[0].text, u"a\\nb\\r");
    EXPECT_EQ(host.lines[1].text, u"");
}

TEST_F(DebugTest, WithoutHostOrOwnerLinesAreDroppedOrUntagged) {
    CHlmPlgDebug silent = makeDebug(nullptr);
    silent.traceDefault(u"lost");
    EXPECT_TRUE(host.lines.empty());

    CHlmPlgDebug anonymous = makeDebug(&host);
    anonymous.m_owner = nullptr;
    anonymous.traceDefault(u"kept");
    ASSERT_EQ(host.lines.size(), 1u);
    EXPECT_EQ(host.lines[0].source, u"");
}

TEST(ExceptionNames, TableNamesFirstMatchAndUnknown) {
    using holm::services::exceptionName;
    EXPECT_EQ(std::u16string(exceptionName(0xC0000005)), u"ACCESS_VIOLATION");
    EXPECT_EQ(std::u16string(exceptionName(0x80000003)), u"BREAKPOINT FOUND");
    EXPECT_EQ(std::u16string(exceptionName(0xC00000FD)), u"STACK_OVERFLOW");
    EXPECT_EQ(std::u16string(exceptionName(0x12345678)), u"UNKNOWN");
    EXPECT_EQ(std::u16string(exceptionName(0xFFFFFFFF)), u"UNKNOWN");
}

}  // namespace

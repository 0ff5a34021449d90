// Nothing unverified is loaded: each refusal of the plugin loader names the
// file and its reason in the log, beside the line a host shows.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/plugin_lifecycle.h"
#include "core/support/host_harness.h"
#include "core/support/loader_fixture.h"
#include "support/test_support.h"

namespace {

using holm::test::LoaderTest;
using holm::test::u16;

TEST_F(LoaderTest, EveryRefusalLogsItsReason) {
    const std::string suffix = HOLM_TEST_PLUGIN_SUFFIX;
    const std::u16string unsignedPlugin = u16(copyPlugin("libok" + suffix, "libunsigned" + suffix));
    const std::u16string tampered = u16(holm::test::plugin("tampered"));
    const std::u16string missing = u16(directory_.path() / ("libmissing" + suffix));
    lifecycle_.loadList({{u"u", unsignedPlugin, u""}, {u"t", tampered, u""}, {u"m", missing, u""}});
    EXPECT_TRUE(host_.logged(u"Unable to load plugin 'u'. Error: Selftest failed."));
    EXPECT_TRUE(host_.logged(u"PM(u): " + unsignedPlugin + u": no signature"));
    EXPECT_TRUE(
        host_.logged(u"PM(t): " + tampered + u": the file size differs from the signed size"));
    EXPECT_TRUE(host_.logged(u"Unable to load plugin 'm'. Error: LoadLibrary() failed."));
    EXPECT_TRUE(host_.logged(u"PM(m): " + missing + u": the file does not exist"));
    EXPECT_EQ(lifecycle_.count(), 0u);
}

}  // namespace

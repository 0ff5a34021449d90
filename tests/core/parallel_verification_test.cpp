// A plugin list's libraries are verified on several cores while loading
// follows the list, each library from the descriptor that was verified, as
// soon as its own check is done.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/support/parallel_verification.h"
#include "support/test_support.h"

namespace {

using holm::test::ParallelVerification;
using holm::test::plugin;

// More entries than cores, good and refused ones interleaved: whatever order
// the checks finish in, plugins are made, and failures logged, in list order.
TEST_F(ParallelVerification, PluginsAreMadeAndFailuresLoggedInListOrder) {
    const std::string refused[] = {plugin("unsigned"), plugin("tampered"), plugin("absent")};
    std::vector<std::vector<std::string>> entries;
    std::vector<std::string> made;
    std::vector<std::string> failed;
    for (int i = 0; i < 24; ++i) {
        const std::string name = "p" + std::to_string(i);
        if (i % 4 == 1) {
            entries.push_back({name, refused[i % 3]});
            failed.push_back(name);
        } else {
            entries.push_back({name, plugin("ok")});
            made.push_back(name + ":getHlmPlugin2");
        }
    }
    EXPECT_EQ(runAndStop(entries), 0u);
    EXPECT_EQ(calls("getHlmPlugin2"), made);
    EXPECT_EQ(refusedInLogOrder(), failed);
}

}  // namespace

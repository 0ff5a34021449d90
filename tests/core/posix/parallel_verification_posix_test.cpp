// Parallel verification on Linux: a library renamed over another's file
// while the list loads (Windows refuses to replace a file that is open).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/support/parallel_verification.h"
#include "support/signing_support.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

using holm::test::ParallelVerification;
using holm::test::plugin;

// The first plugin, while it is being made, renames an unsigned library over
// the second one's file. The second's check runs before or after that,
// depending on the cores: either it checked the signed original, and its
// verified descriptor (not the path) is what the loader maps, so the original
// runs; or it saw the unsigned file and refused it before any of its code ran.
// The unsigned file never runs.
TEST_F(ParallelVerification, OnlyTheLibraryThatWasVerifiedIsLoaded) {
    const fs::path first = directory_.path() / "libfirst.so";
    const fs::path second = directory_.path() / "libsecond.so";
    for (const auto& copy : {first, second}) {
        fs::copy_file(plugin("ok"), copy);
        holm::test::signFileWith(copy, holm::test::productSigningKey());
    }
    fs::copy_file(plugin("wrong_version"), second.string() + ".new");

    runAndStop(
        {{"first", first.string(), "replace=" + second.string()}, {"second", second.string()}});
    EXPECT_EQ(calls("replace"), std::vector<std::string>{"first:replace:done"});
    if (refusedInLogOrder().empty()) {
        EXPECT_EQ(calls("load"), (std::vector<std::string>{"first:load", "second:load"}));
    } else {
        EXPECT_EQ(refusedInLogOrder(), std::vector<std::string>{"second"});
        EXPECT_EQ(calls("getHlmPlugin2"), std::vector<std::string>{"first:getHlmPlugin2"});
    }
}

}  // namespace

// A plugin whose entry point faulted left frames of its library behind on
// the abandoned stack: the library stays loaded, also after the core went
// (Linux reads its child's mappings for the same). Each run loads a signed
// copy of libhostile of its own, so that what one run left loaded does not
// decide the other.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/utf16.h"
#include "core/support/boundary_runs.h"
#include "core/support/host_harness.h"
#include "support/signing_support.h"
#include "support/test_support.h"

namespace {

// Whether the module at `path` is loaded in this process after a core ran
// the hostile plugin from there with `params`.
bool loadedAfterRun(const holm::test::TempDir& directory, const std::string& params) {
    const std::string copy =
        holm::test::utf8(directory.path()) + "/libhostile_kept" + HOLM_TEST_PLUGIN_SUFFIX;
    std::filesystem::copy_file(holm::test::pathOfUtf8(holm::test::plugin("hostile")),
                               holm::test::pathOfUtf8(copy));
    holm::test::signFileWith(holm::test::pathOfUtf8(copy), holm::test::productSigningKey());
    const holm::test::BoundaryRun run = holm::test::driveBoundaryCore(params, copy);
    EXPECT_EQ(run.runCode, 0u);
    EXPECT_EQ(run.stopCode, 0u);
    const std::u16string wide = holm::common::utf8ToUtf16(copy);
    return ::GetModuleHandleW(reinterpret_cast<const wchar_t*>(wide.c_str())) != nullptr;
}

TEST(WinBoundaryReproductions, ALibraryWhoseEntryPointFaultedStaysLoaded) {
    const holm::test::TempDir faultedDirectory;
    EXPECT_TRUE(loadedAfterRun(faultedDirectory, "at=getHlmPlugin2,do=fault"));
    const holm::test::TempDir threwDirectory;
    EXPECT_FALSE(loadedAfterRun(threwDirectory, "at=getHlmPlugin2,do=throw"))
        << "a thrown exception abandons nothing";
}

}  // namespace

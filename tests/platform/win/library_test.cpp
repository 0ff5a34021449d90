// Loading libraries on Windows: from a verified descriptor, held against
// writers while loaded, with dependencies only from the program's and the
// system's folders.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "platform/io.h"
#include "platform/shared_library.h"
#include "platform/verified_open.h"
#include "support/test_support.h"

namespace holm::platform {
namespace {

using Answer = int (*)();

int programAnswer() {
    return 7;
}

TEST(WinLibraryTest, LoadsAndReportsTheLibrary) {
    auto library = SharedLibrary::open(HOLM_TEST_DSO);
    ASSERT_TRUE(library.ok()) << library.error().message;
    auto answer = reinterpret_cast<Answer>(library->symbol("holmTestAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(library->symbol("holmTestNoSuchSymbol"), nullptr);

    auto file = statPath(HOLM_TEST_DSO);
    ASSERT_TRUE(file.ok());
    EXPECT_EQ(library->id(), (FileIdentity{file->device, file->inode}));
    EXPECT_TRUE(isModuleLoaded(library->id()));
    EXPECT_TRUE(addressInModule(reinterpret_cast<const void*>(answer), *library));
    const auto* inLibrary = reinterpret_cast<const void*>(answer);
    const auto* inProgram = reinterpret_cast<const void*>(&programAnswer);
    const int onTheStack = 0;
    EXPECT_TRUE(addressInProgramOrModuleOf(inLibrary, inLibrary));
    EXPECT_TRUE(addressInProgramOrModuleOf(inProgram, inLibrary));
    EXPECT_FALSE(addressInProgramOrModuleOf(inLibrary, &onTheStack));
    EXPECT_FALSE(addressInProgramOrModuleOf(&onTheStack, inLibrary));
    EXPECT_TRUE(std::filesystem::equivalent(
        modulePathContaining(reinterpret_cast<const void*>(answer)), HOLM_TEST_DSO));

    bool listed = false;
    for (const ModuleImage& image : loadedModuleImages()) {
        const auto at = reinterpret_cast<uint64_t>(answer);
        listed = listed || (at >= image.start && at < image.end);
    }
    EXPECT_TRUE(listed);
}

TEST(WinLibraryTest, ReportsWhyALoadFailed) {
    test::TempDir dir;
    EXPECT_EQ(SharedLibrary::open("").error().windowsError, WinError::kInvalidParameter);
    EXPECT_EQ(SharedLibrary::open((dir.path() / "missing.dll").string()).error().windowsError,
              WinError::kModNotFound);
    const auto text = dir.write("text.dll", "not a library");
    EXPECT_EQ(SharedLibrary::open(text.string()).error().windowsError, WinError::kBadExeFormat);
    EXPECT_EQ(SharedLibrary::openDescriptor(-1, "x").error().windowsError,
              WinError::kInvalidHandle);
}

TEST(WinLibraryTest, AVerifiedLibraryIsHeldAgainstWritersWhileLoaded) {
    test::TempDir dir;
    std::filesystem::copy_file(HOLM_TEST_DSO, dir.path() / "plugin.dll");
    const std::string path = (dir.path() / "plugin.dll").string();
    {
        auto directory = openDirectory(dir.path().string());
        ASSERT_TRUE(directory.ok());
        auto verified = openFileAt(directory->fd.get(), "plugin.dll");
        ASSERT_TRUE(verified.ok());
        auto library = SharedLibrary::openDescriptor(verified->fd.get(), path);
        ASSERT_TRUE(library.ok()) << library.error().message;
        EXPECT_EQ(library->id(), verified->info.identity);
        EXPECT_EQ(library->path(), path);
        verified->fd.reset();  // the library holds the file on its own

        auto writer = io::open(path, {.access = io::Access::Write});
        ASSERT_FALSE(writer.ok()) << "a loaded, verified library cannot be rewritten";
        auto answer = reinterpret_cast<Answer>(library->symbol("holmTestAnswer"));
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer(), 42);
    }
    // Unloaded: the file is free again.
    EXPECT_TRUE(io::open(path, {.access = io::Access::Write}).ok());
}

TEST(WinLibraryTest, DependenciesComeFromTheProgramAndSystemFoldersOnly) {
    // The library and its dependency side by side in a folder of their own:
    // the dependency is not looked for there.
    test::TempDir dir;
    const auto dependent = dir.path() / "dependent.dll";
    std::filesystem::copy_file(HOLM_TEST_DEPENDENT, dependent);
    std::filesystem::copy_file(HOLM_TEST_DEPENDENCY,
                               dir.path() / std::filesystem::path(HOLM_TEST_DEPENDENCY).filename());
    auto refused = SharedLibrary::open(dependent.string());
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().windowsError, WinError::kModNotFound);

    // The library itself is sound: with its dependency loaded already (as
    // the program would have it), it loads and works.
    auto dependency = SharedLibrary::open(HOLM_TEST_DEPENDENCY);
    ASSERT_TRUE(dependency.ok()) << dependency.error().message;
    auto loaded = SharedLibrary::open(dependent.string());
    ASSERT_TRUE(loaded.ok()) << loaded.error().message;
    auto value = reinterpret_cast<Answer>(loaded->symbol("holmTestDependentValue"));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value(), 42);
}

}  // namespace
}  // namespace holm::platform

#include "platform/shared_library.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/file_system.h"
#include "support/test_support.h"

namespace holm::platform {
namespace {

using AnswerFunction = int (*)();

FileIdentity idOnDisk(const std::string& path) {
    auto info = statPath(path);
    EXPECT_TRUE(info.ok()) << path;
    return info ? FileIdentity{info->device, info->inode} : FileIdentity{};
}

// Each test loads its own copy of the test library so that no test sees a
// module another one left loaded.
class SharedLibraryTest : public ::testing::Test {
  protected:
    std::string copyOfLibrary(const std::string& name) {
        auto target = directory_.path() / name;
        std::filesystem::copy_file(HOLM_TEST_DSO, target);
        return target.string();
    }

    test::TempDir directory_;
};

TEST_F(SharedLibraryTest, LoadsByPathAndUnloadsOnClose) {
    std::string path = copyOfLibrary("by-path.so");
    SharedLibrary library = SharedLibrary::open(path).valueOr({});
    ASSERT_TRUE(library.valid());
    EXPECT_EQ(library.path(), path);
    EXPECT_EQ(library.id(), idOnDisk(path));

    auto answer = reinterpret_cast<AnswerFunction>(library.symbol("holmTestAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(library.symbol("holmTestNoSuchSymbol"), nullptr);
    EXPECT_EQ(modulePathContaining(reinterpret_cast<const void*>(answer)), path);
    EXPECT_TRUE(isModuleLoaded(library.id()));
    const auto* inLibrary = reinterpret_cast<const void*>(answer);
    const auto* inProgram = reinterpret_cast<const void*>(&idOnDisk);
    EXPECT_TRUE(addressInProgramOrModuleOf(inLibrary, inLibrary));
    EXPECT_TRUE(addressInProgramOrModuleOf(inProgram, inLibrary));
    EXPECT_FALSE(addressInProgramOrModuleOf(inLibrary, inProgram));
    const int onTheStack = 0;
    EXPECT_FALSE(addressInProgramOrModuleOf(&onTheStack, inProgram));

    FileIdentity id = library.id();
    library.close();
    EXPECT_FALSE(library.valid());
    EXPECT_EQ(library.symbol("holmTestAnswer"), nullptr);
    EXPECT_FALSE(isModuleLoaded(id));
}

// A module's identity is the file the kernel has mapped: a file renamed over
// the module's path afterwards is not loaded, whatever its name.
TEST_F(SharedLibraryTest, IdentityIsWhatIsMappedNotWhatTheNameNamesNow) {
    std::string path = copyOfLibrary("renamed-over.so");
    SharedLibrary library = SharedLibrary::open(path).valueOr({});
    ASSERT_TRUE(library.valid());
    const FileIdentity loaded = library.id();
    EXPECT_EQ(loaded, idOnDisk(path));

    const std::string other = copyOfLibrary("other.so");
    std::filesystem::rename(other, path);
    const FileIdentity renamed = idOnDisk(path);
    EXPECT_NE(renamed, loaded);
    EXPECT_FALSE(isModuleLoaded(renamed));
    EXPECT_TRUE(isModuleLoaded(loaded));
    EXPECT_EQ(library.id(), loaded);
}

TEST_F(SharedLibraryTest, DescriptorLoadReportsTheOriginalPath) {
    std::string path = copyOfLibrary("by-descriptor.so");
    UniqueFd file = openForReading(path).valueOr({});
    ASSERT_TRUE(file.valid());
    SharedLibrary library = SharedLibrary::openDescriptor(file.get(), path).valueOr({});
    ASSERT_TRUE(library.valid());
    file.reset();  // the loader's name for the module now names nothing

    EXPECT_EQ(library.path(), path);
    EXPECT_EQ(library.id(), idOnDisk(path));
    const void* answer = library.symbol("holmTestAnswer");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(modulePathContaining(answer), path);
    EXPECT_TRUE(isModuleLoaded(library.id()));

    // A load by path of the same file is the same module; the name survives
    // the descriptor-loaded reference going away.
    SharedLibrary again = SharedLibrary::open(path).valueOr({});
    ASSERT_TRUE(again.valid());
    EXPECT_EQ(again.symbol("holmTestAnswer"), answer);
    EXPECT_EQ(again.id(), library.id());
    library.close();
    EXPECT_EQ(modulePathContaining(answer), path);
    EXPECT_TRUE(isModuleLoaded(again.id()));

    FileIdentity id = again.id();
    again.close();
    EXPECT_FALSE(isModuleLoaded(id));
}

TEST_F(SharedLibraryTest, MovedLibraryStaysLoaded) {
    std::string path = copyOfLibrary("moved.so");
    SharedLibrary first = SharedLibrary::open(path).valueOr({});
    ASSERT_TRUE(first.valid());
    FileIdentity id = first.id();

    SharedLibrary second = std::move(first);
    EXPECT_FALSE(first.valid());
    first.close();
    EXPECT_TRUE(isModuleLoaded(id));

    SharedLibrary third;
    third = std::move(second);
    EXPECT_EQ(third.path(), path);
    EXPECT_TRUE(isModuleLoaded(id));
    third = SharedLibrary();
    EXPECT_FALSE(isModuleLoaded(id));
}

TEST_F(SharedLibraryTest, KeptLibraryIsNeverUnloaded) {
    std::string path = copyOfLibrary("kept.so");
    UniqueFd file = openForReading(path).valueOr({});
    SharedLibrary library = SharedLibrary::openDescriptor(file.get(), path).valueOr({});
    ASSERT_TRUE(library.valid());
    const void* answer = library.symbol("holmTestAnswer");
    FileIdentity id = library.id();

    library.keepLoaded();
    library.close();
    EXPECT_FALSE(library.valid());
    EXPECT_TRUE(isModuleLoaded(id));
    EXPECT_EQ(modulePathContaining(answer), path);
}

// The loader matches modules by name before it looks at the file; a load
// through a descriptor number that an earlier, still loaded module was
// loaded through must still load the file now open on it.
TEST_F(SharedLibraryTest, ReusedDescriptorNumberLoadsTheFileNowOpenOnIt) {
    std::string firstPath = copyOfLibrary("first.so");
    std::string secondPath = copyOfLibrary("second.so");
    UniqueFd file = openForReading(firstPath).valueOr({});
    int number = file.get();
    SharedLibrary first = SharedLibrary::openDescriptor(file.get(), firstPath).valueOr({});
    ASSERT_TRUE(first.valid());
    file.reset();
    file = openForReading(secondPath).valueOr({});  // the lowest free number: the same again
    ASSERT_EQ(file.get(), number);

    SharedLibrary second = SharedLibrary::openDescriptor(file.get(), secondPath).valueOr({});
    ASSERT_TRUE(second.valid());
    EXPECT_EQ(second.id(), idOnDisk(secondPath));
    EXPECT_NE(second.symbol("holmTestAnswer"), first.symbol("holmTestAnswer"));
    EXPECT_EQ(modulePathContaining(second.symbol("holmTestAnswer")), secondPath);
    EXPECT_EQ(modulePathContaining(first.symbol("holmTestAnswer")), firstPath);
}

TEST_F(SharedLibraryTest, FailuresGiveWindowsErrorNumbers) {
    const auto failureOf = [](LoadResult loaded) {
        EXPECT_FALSE(loaded.ok());
        return loaded.ok() ? LoadFailure{} : loaded.error();
    };
    LoadFailure missing =
        failureOf(SharedLibrary::open((directory_.path() / "missing.so").string()));
    EXPECT_EQ(missing.windowsError, WinError::kModNotFound);
    EXPECT_FALSE(missing.message.empty());

    auto text = directory_.write("text.so", "not a library at all");
    EXPECT_EQ(failureOf(SharedLibrary::open(text.string())).windowsError, WinError::kBadExeFormat);
    EXPECT_EQ(failureOf(SharedLibrary::open(directory_.path().string())).windowsError,
              WinError::kAccessDenied);

    LoadFailure unresolved = failureOf(SharedLibrary::open(HOLM_TEST_DSO_UNRESOLVED));
    EXPECT_EQ(unresolved.windowsError, WinError::kProcNotFound);
    EXPECT_NE(unresolved.message.find("holmTestSymbolNobodyDefines"), std::string::npos)
        << unresolved.message;

    EXPECT_EQ(failureOf(SharedLibrary::open("")).windowsError, WinError::kInvalidParameter);
    EXPECT_EQ(failureOf(SharedLibrary::openDescriptor(-1, "x.so")).windowsError,
              WinError::kInvalidHandle);

    UniqueFd file = openForReading(text.string()).valueOr({});
    ASSERT_TRUE(file.valid());
    EXPECT_EQ(failureOf(SharedLibrary::openDescriptor(file.get(), text.string())).windowsError,
              WinError::kBadExeFormat);
}

TEST(ModulePathTest, ProgramAndUnknownAddresses) {
    static int insideTheProgram = 0;
    auto info = statPath("/proc/self/exe");
    ASSERT_TRUE(info.ok());
    EXPECT_TRUE(isModuleLoaded({info->device, info->inode}));
    EXPECT_FALSE(modulePathContaining(&insideTheProgram).empty());
    EXPECT_EQ(modulePathContaining(nullptr), "");
}

}  // namespace
}  // namespace holm::platform

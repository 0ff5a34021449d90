// Directory creations, renames and removals of the file-system helpers go
// through the system-call table on every system: an injected failure of each
// is reported with its cause and leaves nothing half done, and interrupted
// calls are retried.
#include <cerrno>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/file_system.h"
#include "support/io_faults.h"
#include "support/test_support.h"

namespace holm::platform {
namespace {

namespace fs = std::filesystem;
using holm::test::InjectedFaults;
using holm::test::TempDir;
using holm::test::utf8;

TEST(InjectedOpenTest, TheFileHelpersReportTheInjectedError) {
    TempDir temp;
    const fs::path file = temp.write("file", "x");
    const fs::path directory = temp.path() / "directory";
    InjectedFaults faults;
    faults.failMakeDirectory(ENOSPC);
    EXPECT_EQ(makeDirectory(utf8(directory), 0700).error().errnoValue(), ENOSPC);
    faults.failRemove(EROFS);
    EXPECT_EQ(removeFile(utf8(file)).error().errnoValue(), EROFS);
    fs::create_directory(directory);
    faults.failRemove(EROFS);
    EXPECT_EQ(removeEmptyDirectory(utf8(directory)).error().errnoValue(), EROFS);
    faults.failRename(EXDEV);
    EXPECT_EQ(renameNoReplace(utf8(file), utf8(temp.path() / "moved")).error().errnoValue(), EXDEV);
    EXPECT_TRUE(fs::exists(file));
    EXPECT_TRUE(fs::is_directory(directory));
    EXPECT_FALSE(fs::exists(temp.path() / "moved"));
}

TEST(InjectedOpenTest, TheDirectoryChainReportsARefusedCreation) {
    TempDir temp;
    const fs::path deep = temp.path() / "chain-a" / "chain-b";
    {
        InjectedFaults faults;
        faults.failMakeDirectory(ENOSPC);
        const Status made = makeDirectoryChain(utf8(deep), 0700);
        ASSERT_FALSE(made.ok());
        EXPECT_EQ(made.error().errnoValue(), ENOSPC);
    }
    EXPECT_FALSE(fs::exists(temp.path() / "chain-a"));
    {
        InjectedFaults faults;
        faults.interruptEveryCall();
        EXPECT_TRUE(makeDirectoryChain(utf8(deep / "chain-c"), 0700).ok());
    }
    EXPECT_TRUE(fs::is_directory(deep / "chain-c"));
}

TEST(InjectedOpenTest, TheTreeRemoverReportsWhatItCouldNotRemoveAndKeepsIt) {
    TempDir temp;
    const fs::path tree = temp.path() / "tree";
    fs::create_directories(tree / "sub");
    temp.write("tree/sub/file", "x");
    temp.write("tree/top", "x");
    {
        InjectedFaults faults;
        faults.failRemove(EACCES);
        EXPECT_EQ(removeTreeSafely(utf8(tree)).windowsError(), WinError::kAccessDenied);
    }
    EXPECT_TRUE(fs::exists(tree / "sub" / "file"));
    EXPECT_TRUE(fs::exists(tree / "top"));
    {
        InjectedFaults faults;
        faults.interruptEveryCall();
        EXPECT_TRUE(removeTreeSafely(utf8(tree)).ok());
    }
    EXPECT_FALSE(fs::exists(tree));

    // A single file named to the remover.
    const fs::path single = temp.write("single", "x");
    {
        InjectedFaults faults;
        faults.failRemove(EROFS);
        EXPECT_EQ(removeTreeSafely(utf8(single)).error().errnoValue(), EROFS);
    }
    EXPECT_TRUE(fs::exists(single));
}

}  // namespace
}  // namespace holm::platform

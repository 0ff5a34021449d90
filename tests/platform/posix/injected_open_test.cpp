// Opens of the file-system helpers, the verified opens, the library and
// process look-ups and the named events go through the system-call table on
// Linux: an injected failure of each is reported with its cause and leaves
// nothing half done (the helpers' creations, renames and removals on every
// system: tests/platform/injected_calls_test.cpp).
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/named_event.h"
#include "platform/process_info.h"
#include "platform/sessions.h"
#include "platform/shared_library.h"
#include "platform/verified_open.h"
#include "support/io_faults.h"
#include "support/test_support.h"

namespace holm::platform {
namespace {

namespace fs = std::filesystem;
using holm::test::InjectedFaults;
using holm::test::TempDir;

// Each step of the chain is opened to make the next one in it (a creation
// refused or interrupted: InjectedOpenTest.TheDirectoryChainReportsARefusedCreation).
TEST(InjectedOpenTest, TheDirectoryChainReportsAStepThatCannotBeOpened) {
    TempDir temp;
    const fs::path deep = temp.path() / "chain-a" / "chain-b";
    InjectedFaults faults;
    faults.failOpen(EMFILE, "chain-b");
    const Status made = makeDirectoryChain(deep.string(), 0700);
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(made.windowsError(), WinError::kTooManyOpenFiles);
}

TEST(InjectedOpenTest, TheTreeRemoverKeepsWhatItCouldNotOpenOrRemove) {
    TempDir temp;
    const fs::path tree = temp.path() / "tree";
    fs::create_directories(tree / "sub");
    temp.write("tree/sub/file", "x");
    temp.write("tree/top", "x");
    {
        // The subdirectory cannot be opened: skipped and reported, the rest goes.
        InjectedFaults faults;
        faults.failOpen(EMFILE, "sub");
        std::vector<std::string> skipped;
        const Status removed = removeTreeSafely(tree.string(), &skipped);
        EXPECT_EQ(removed.windowsError(), WinError::kTooManyOpenFiles);
        EXPECT_EQ(skipped, std::vector<std::string>{(tree / "sub").string()});
    }
    EXPECT_TRUE(fs::exists(tree / "sub" / "file"));
    EXPECT_FALSE(fs::exists(tree / "top"));
    {
        // The emptied directory itself cannot be removed.
        InjectedFaults faults;
        faults.failRemove(EBUSY, 1);
        EXPECT_FALSE(removeTreeSafely(tree.string()).ok());
    }
    EXPECT_FALSE(fs::exists(tree / "sub" / "file"));
    EXPECT_TRUE(fs::exists(tree / "sub"));
    {
        InjectedFaults faults;
        faults.interruptEveryCall();
        EXPECT_TRUE(removeTreeSafely(tree.string()).ok());
    }
    EXPECT_FALSE(fs::exists(tree));
}

TEST(InjectedOpenTest, AVerifiedOpenTellsAFailedOpenFromAMissingName) {
    TempDir temp;
    temp.write("verified", "x");
    const std::string path = temp.path().string();
    {
        InjectedFaults faults;
        faults.failOpen(EMFILE, path);
        const OpenResult directory = openDirectory(path);
        ASSERT_FALSE(directory.ok());
        EXPECT_EQ(directory.error().refusal, OpenRefusal::Failed);
        EXPECT_EQ(directory.error().error, EMFILE);
    }
    const OpenResult directory = openDirectory(path);
    ASSERT_TRUE(directory.ok());
    {
        InjectedFaults faults;
        faults.failOpen(ENFILE, "verified");
        const OpenResult file = openFileAt(directory->fd.get(), "verified");
        ASSERT_FALSE(file.ok());
        EXPECT_EQ(file.error().refusal, OpenRefusal::Failed);
        EXPECT_EQ(file.error().error, ENFILE);
    }
    EXPECT_TRUE(openFileAt(directory->fd.get(), "verified").ok());
}

// A library that does not load is examined through its own open: a refused
// open is reported as itself, never taken for a bad file; and the process
// list through a /proc that cannot be opened is empty, not a crash.
TEST(InjectedOpenTest, LookupsReportARefusedOpenAsItself) {
    TempDir temp;
    const fs::path text = temp.write("text.so", "not a library at all");
    {
        InjectedFaults faults;
        faults.failOpen(EMFILE, text.string());
        const LoadResult loaded = SharedLibrary::open(text.string());
        ASSERT_FALSE(loaded.ok());
        EXPECT_EQ(loaded.error().windowsError, WinError::kTooManyOpenFiles);
    }
    const LoadResult loaded = SharedLibrary::open(text.string());
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().windowsError, WinError::kBadExeFormat);
    {
        InjectedFaults faults;
        faults.failOpen(EMFILE, "/proc");
        EXPECT_TRUE(runningProcessIds().empty());
    }
    const std::vector<uint32_t> ids = runningProcessIds();
    EXPECT_TRUE(std::binary_search(ids.begin(), ids.end(), currentProcessId()));
}

size_t entryCount(const fs::path& directory) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(directory)) {
        ++count;
    }
    return count;
}

TEST(InjectedOpenTest, ANamedEventWatchLeavesNoFifoBehindAFailure) {
    TempDir temp;
    const std::string directory = (temp.path() / "run").string();
    const std::string name = namedEventFileName(u"Global\\injected");
    {
        // The runtime directory cannot be made.
        InjectedFaults faults;
        faults.failMakeDirectory(ENOSPC);
        const auto opened = NamedEventWatch::open(directory, name);
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.error().errnoValue(), ENOSPC);
    }
    EXPECT_FALSE(fs::exists(directory));
    {
        // The temporary FIFO cannot take its final name: it is removed.
        InjectedFaults faults;
        faults.failRename(EIO);
        EXPECT_FALSE(NamedEventWatch::open(directory, name).ok());
    }
    EXPECT_EQ(entryCount(directory), 0u);
    {
        // A closing watch whose name cannot be removed leaves a FIFO without
        // a reader; a set that meets it removes it once it may.
        auto opened = NamedEventWatch::open(directory, name);
        ASSERT_TRUE(opened.ok());
        NamedEventWatch watch = std::move(opened).value();
        InjectedFaults faults;
        faults.failRemove(EACCES);
        watch = NamedEventWatch();
        EXPECT_EQ(entryCount(directory), 1u);
        faults.failRemove(EACCES);
        EXPECT_EQ(setNamedEvent(directory, name), NamedEventSet::NoWatcher);
        EXPECT_EQ(entryCount(directory), 1u);
    }
    EXPECT_EQ(setNamedEvent(directory, name), NamedEventSet::NoWatcher);
    EXPECT_EQ(entryCount(directory), 0u);
}

}  // namespace
}  // namespace holm::platform

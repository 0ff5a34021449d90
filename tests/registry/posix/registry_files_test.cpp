// The file-backed store of the POSIX systems: what its files on disk may be
// made to look like (hand edits, links, unsafe permissions, what a killed
// writer leaves) and what several processes writing at once leave behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/unique_handle.h"
#include "registry/registry.h"
#include "registry/registry_fixture.h"
#include "registry/registry_format.h"
#include "support/test_support.h"

namespace holm::registry::test {
namespace {

namespace fs = std::filesystem;

TEST_F(RegistryTest, KeysAndValuesAreDirectoriesAndFilesWithNothingLeftOver) {
    Key key = createKey(u"Names");
    EXPECT_EQ(errorOf(key.setValue(u"../../escape", makeDword(1))), kErrorSuccess);
    createKey(u"Names\\a/b");
    // Only the store's own entries at its top; the temporary directory is
    // empty after every completed write and deletion.
    EXPECT_EQ(std::distance(fs::directory_iterator(storeDir()), fs::directory_iterator()), 3);
    EXPECT_TRUE(fs::exists(machineDir("k.names/k.a%2Fb")));
    EXPECT_TRUE(fs::is_empty(storeDir() / ".tmp"));
    ASSERT_EQ(errorOf(deleteKeyTree(store_, Root::LocalMachine, u"Names")), kErrorSuccess);
    EXPECT_FALSE(fs::exists(machineDir("k.names")));
    EXPECT_TRUE(fs::is_empty(storeDir() / ".tmp"));
}

TEST_F(RegistryTest, HandEditedStoreIsRefusedNeverFollowed) {
    Key key = createKey(u"Edited");
    ASSERT_EQ(errorOf(key.setValue(u"good", makeDword(1))), kErrorSuccess);
    const fs::path dir = machineDir("k.edited");
    writeFile(dir / "junk", "junk");
    writeFile(dir / "v.short", "HRVL");
    writeFile(dir / "v.lies", std::string("HRVL\1\0\0\0\4\0\0\0\0\0\0\0\xff\0\0\0", 20) + "x");
    fs::create_directory(dir / "k.nometa");
    writeFile(temp_.path() / "outside", "secret");
    fs::create_symlink(temp_.path() / "outside", dir / "v.link");
    fs::create_symlink(temp_.path(), dir / "k.linked");
    ASSERT_EQ(std::system(("mkfifo '" + (dir / "v.fifo").string() + "'").c_str()), 0);

    Value value;
    EXPECT_EQ(assign(key.queryValue(u"short"), value), kErrorBadDb);
    EXPECT_EQ(assign(key.queryValue(u"lies"), value), kErrorBadDb);
    EXPECT_EQ(assign(key.queryValue(u"link"), value), kErrorBadDb);
    EXPECT_EQ(assign(key.queryValue(u"fifo"), value), kErrorBadDb);
    Key unused;
    EXPECT_EQ(assign(Key::open(store_, Root::LocalMachine, u"Edited\\nometa"), unused),
              kErrorBadKey);
    EXPECT_EQ(assign(Key::open(store_, Root::LocalMachine, u"Edited\\linked"), unused),
              kErrorBadKey);
    EXPECT_EQ(assign(Key::create(store_, Root::LocalMachine, u"Edited\\linked\\x"), unused),
              kErrorBadKey);
    EXPECT_EQ(values(key), Names{u"good"});
    EXPECT_TRUE(subkeys(key).empty());

    // A write replaces the link itself; the file it pointed to is untouched.
    EXPECT_EQ(errorOf(key.setValue(u"link", makeDword(2))), kErrorSuccess);
    EXPECT_EQ(readDword(queried(key, u"link")), 2u);
    std::ifstream outside(temp_.path() / "outside");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(outside), {}), "secret");

    ASSERT_EQ(errorOf(deleteKeyTree(store_, Root::LocalMachine, u"Edited")), kErrorSuccess);
    EXPECT_TRUE(fs::exists(temp_.path() / "outside"));
}

TEST_F(RegistryTest, UnsafeOwnershipOrPermissionsAreRefused) {
    createKey(u"Open\\Inner");
    fs::permissions(machineDir("k.open"), fs::perms::group_write, fs::perm_options::add);
    Key key;
    EXPECT_EQ(assign(Key::open(store_, Root::LocalMachine, u"Open\\Inner"), key),
              kErrorAccessDenied);
    fs::permissions(machineDir("k.open"), fs::perms::group_write, fs::perm_options::remove);
    EXPECT_EQ(assign(Key::open(store_, Root::LocalMachine, u"Open\\Inner", kKeyAllAccess), key),
              kErrorSuccess);

    ASSERT_EQ(errorOf(key.setValue(u"v", makeDword(1))), kErrorSuccess);
    fs::permissions(machineDir("k.open/k.inner/v.v"), fs::perms::others_write,
                    fs::perm_options::add);
    Value value;
    EXPECT_EQ(assign(key.queryValue(u"v"), value), kErrorAccessDenied);

    fs::permissions(storeDir(), fs::perms::others_write, fs::perm_options::add);
    Store store;
    EXPECT_EQ(assign(Store::open(storeDir()), store), kErrorAccessDenied);
}

TEST_F(RegistryTest, LeftoverTemporaryFileOfACrashedWriterIsIgnoredThenReplaced) {
    Key key = createKey(u"Crash");
    ASSERT_EQ(errorOf(key.setValue(u"State", makeString(u"old"))), kErrorSuccess);
    const fs::path keyDir = machineDir("k.crash");
    const fs::path tempDir = storeDir() / ".tmp";
    EXPECT_TRUE(fs::is_empty(tempDir));

    // What a writer killed between writing and renaming leaves behind: its
    // temporary file, named after the key directory's inode and the value,
    // half written; and for good measure a stray reserved file in the key.
    const fs::path inodeFile = temp_.path() / "inode";
    ASSERT_EQ(std::system(
                  ("stat -c %i '" + keyDir.string() + "' > '" + inodeFile.string() + "'").c_str()),
              0);
    std::string inode;
    std::ifstream(inodeFile) >> inode;
    const auto encoded = format::encodeValueFile(u"State", makeString(u"new"));
    const std::string content(encoded.begin(), encoded.end() - 3);
    writeFile(tempDir / ("v-" + inode + "-v.state"), content);
    writeFile(keyDir / ".tmp-stray", content);

    EXPECT_EQ(readString(queried(key, u"State")), u"old");
    EXPECT_EQ(values(key), Names{u"State"});

    ASSERT_EQ(errorOf(key.setValue(u"State", makeString(u"newer"))), kErrorSuccess);
    EXPECT_EQ(readString(queried(key, u"State")), u"newer");
    EXPECT_TRUE(fs::is_empty(tempDir));
}

// What killed writers leave in ".tmp/" goes the next time the store is
// opened, unless a writer is at work (it holds the sweep lock).
TEST_F(RegistryTest, OpeningTheStoreSweepsLeftoversOfDeadWriters) {
    Key key = createKey(u"Kept");
    ASSERT_EQ(errorOf(key.setValue(u"State", makeString(u"kept"))), kErrorSuccess);
    const fs::path tempDir = storeDir() / ".tmp";
    writeFile(tempDir / "v-12345-v.state", "half");
    fs::create_directories(tempDir / "k-0123456789abcdef" / "k.inner");
    writeFile(tempDir / "k-0123456789abcdef" / ".key", "x");
    fs::create_directories(tempDir / "d-fedcba9876543210" / "k.doomed");
    writeFile(tempDir / "d-fedcba9876543210" / ".lock", "");
    writeFile(tempDir / "d-fedcba9876543210" / "k.doomed" / "v.x", "x");
    holm::test::TempDir outside;
    writeFile(outside.path() / "keep", "x");
    fs::create_directory_symlink(outside.path(), tempDir / "k-link");

    {
        // What a writer in the middle of an operation holds.
        holm::platform::UniqueFd writerAtWork(::open(tempDir.c_str(), O_RDONLY | O_DIRECTORY));
        ASSERT_EQ(::flock(writerAtWork.get(), LOCK_SH), 0);
        Store busy;
        ASSERT_EQ(assign(Store::open(storeDir()), busy), kErrorSuccess);
        EXPECT_TRUE(fs::exists(tempDir / "v-12345-v.state"));
    }
    Store reopened;
    ASSERT_EQ(assign(Store::open(storeDir()), reopened), kErrorSuccess);
    EXPECT_TRUE(fs::is_empty(tempDir));
    EXPECT_TRUE(fs::exists(outside.path() / "keep"));
    Key again;
    ASSERT_EQ(assign(Key::open(reopened, Root::LocalMachine, u"Kept"), again), kErrorSuccess);
    EXPECT_EQ(readString(queried(again, u"State")), u"kept");
}

#ifdef HOLM_REG_TOOL
// Two processes write the same key at once (each a loop of the operator
// tool); every write lands, the shared value holds one writer's last value,
// and no temporary file is left.
TEST_F(RegistryTest, TwoProcessesWritingOneKey) {
    const std::string tool = HOLM_REG_TOOL;
    const std::string env = "HOLM_REGISTRY_DIR='" + storeDir().string() + "' ";
    std::string script;
    for (const char* writer : {"a", "b"}) {
        script += "(for i in $(seq 1 20); do " + env + "'" + tool +
                  "' set 'HKLM\\Race\\Deep' shared dword $i && " + env + "'" + tool +
                  "' set 'HKLM\\Race\\Deep' " + writer + "$i sz " + writer + " || exit 1; done) & ";
    }
    script += "wait %1 && wait %2\n";
    writeFile(temp_.path() / "race.sh", script);
    ASSERT_EQ(std::system(("bash '" + (temp_.path() / "race.sh").string() + "'").c_str()), 0)
        << script;

    Key key;
    ASSERT_EQ(assign(Key::open(store_, Root::LocalMachine, u"Race\\Deep"), key), kErrorSuccess);
    EXPECT_EQ(readDword(queried(key, u"shared")), 20u);
    EXPECT_EQ(values(key).size(), 41u);
    EXPECT_EQ(readString(queried(key, u"A17")), u"a");
    EXPECT_TRUE(fs::is_empty(storeDir() / ".tmp"));
}

TEST_F(RegistryTest, ToolHelpExplainsTheDebugSwitches) {
    const fs::path out = temp_.path() / "help.txt";
    ASSERT_EQ(std::system(
                  ("'" + std::string(HOLM_REG_TOOL) + "' --help > '" + out.string() + "'").c_str()),
              0);
    std::ifstream in(out);
    const std::string help(std::istreambuf_iterator<char>(in), {});
    EXPECT_NE(help.find("holm-reg set 'HKLM\\SOFTWARE\\_avdebug' DisableSEH dword 1"),
              std::string::npos);
    EXPECT_NE(help.find("createMiniDump"), std::string::npos);
}
#endif

}  // namespace
}  // namespace holm::registry::test

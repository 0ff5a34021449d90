#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_handle.h"
#include "registry/registry.h"
#include "registry/registry_fixture.h"
#include "registry/registry_format.h"
#include "support/test_support.h"

namespace holm::registry::test {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::u16string>;

Value queried(const Key& key, std::u16string_view name) {
    Value value;
    EXPECT_EQ(key.queryValue(name, value), kErrorSuccess);
    return value;
}

Names values(const Key& key) {
    Names names;
    EXPECT_EQ(key.enumerateValues(names), kErrorSuccess);
    return names;
}

Names subkeys(const Key& key) {
    Names names;
    EXPECT_EQ(key.enumerateSubkeys(names), kErrorSuccess);
    return names;
}

TEST_F(RegistryTest, EveryTypeRoundTrips) {
    Key key = createKey(u"SOFTWARE\\_avdebug");
    const std::vector<uint8_t> bytes(1024, 0xA5);
    const std::vector<std::pair<std::u16string, Value>> cases = {
        {u"Text", makeString(u"Gr\u00fc\u00dfe \U0001F600")},
        {u"Path", makeString(u"%TEMP%\\x", kTypeExpandString)},
        {u"Blob", makeBinary(bytes)},
        {u"Empty", makeBinary({})},
        {u"DisableSEH", makeDword(0xFFFFFFFF)},
        {u"Big", makeQword(0x0123456789ABCDEF)},
        {u"List", *makeMultiString({u"one", u"two"})},
        {u"", makeString(u"default value")},
        {u"Odd type", Value{0x1234, {1, 2, 3}}},
    };
    for (const auto& [name, value] : cases) {
        ASSERT_EQ(key.setValue(name, value), kErrorSuccess);
    }
    Key reopened;
    ASSERT_EQ(Key::open(store_, Root::LocalMachine, u"SOFTWARE\\_avdebug", reopened),
              kErrorSuccess);
    for (const auto& [name, value] : cases) {
        EXPECT_EQ(queried(reopened, name), value);
    }
    EXPECT_EQ(readString(queried(reopened, u"Text")), u"Gr\u00fc\u00dfe \U0001F600");
    EXPECT_EQ(readDword(queried(reopened, u"DisableSEH")), 0xFFFFFFFFu);
    EXPECT_EQ(readQword(queried(reopened, u"Big")), 0x0123456789ABCDEFu);
    EXPECT_EQ(readMultiString(queried(reopened, u"List")), (Names{u"one", u"two"}));
    EXPECT_EQ(readDword(queried(reopened, u"Text")), std::nullopt);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirSpelling) {
    Key key = createKey(u"Software\\MyProduct");
    ASSERT_EQ(key.setValue(u"LogLevel", makeDword(1)), kErrorSuccess);
    ASSERT_EQ(key.setValue(u"LOGLEVEL", makeDword(2)), kErrorSuccess);

    Key other;
    ASSERT_EQ(Key::open(store_, Root::LocalMachine, u"SOFTWARE\\myproduct\\", other),
              kErrorSuccess);
    EXPECT_EQ(readDword(queried(other, u"loglevel")), 2u);
    EXPECT_EQ(values(other), Names{u"LogLevel"});

    Key root;
    ASSERT_EQ(Key::open(store_, Root::LocalMachine, u"", root), kErrorSuccess);
    EXPECT_EQ(subkeys(root), Names{u"Software"});
    bool created = true;
    ASSERT_EQ(Key::create(store_, Root::LocalMachine, u"SOFTWARE", other, kKeyAllAccess, &created),
              kErrorSuccess);
    EXPECT_FALSE(created);
    EXPECT_EQ(subkeys(root), Names{u"Software"});
}

TEST_F(RegistryTest, EnumerationIsOrderedWithoutRegardToCase) {
    Key key = createKey(u"Ordered");
    for (const char16_t* name : {u"charlie", u"Alpha", u"bravo", u"Delta"}) {
        ASSERT_EQ(key.setValue(name, makeDword(0)), kErrorSuccess);
        Key subkey;
        ASSERT_EQ(
            Key::create(store_, Root::LocalMachine, std::u16string(u"Ordered\\") + name, subkey),
            kErrorSuccess);
    }
    const Names expected{u"Alpha", u"bravo", u"charlie", u"Delta"};
    EXPECT_EQ(values(key), expected);
    EXPECT_EQ(subkeys(key), expected);
}

TEST_F(RegistryTest, UnusualNamesStayInsideTheirKey) {
    Key key = createKey(u"Names");
    const Names keyNames{
        u"a/b", u"..x", u"%2e%2e", u"sp ace", u"\u00c4rger", u"#hash", std::u16string(255, u'K')};
    for (const auto& name : keyNames) {
        Key subkey;
        EXPECT_EQ(Key::create(store_, Root::LocalMachine, u"Names\\" + name, subkey),
                  kErrorSuccess);
    }
    EXPECT_EQ(subkeys(key).size(), keyNames.size());
    const Names valueNames{u"../../escape", u"back\\slash", u".", std::u16string(16383, u'v')};
    for (const auto& name : valueNames) {
        EXPECT_EQ(key.setValue(name, makeString(name)), kErrorSuccess);
        EXPECT_EQ(readString(queried(key, name)), name);
    }
    EXPECT_EQ(values(key).size(), valueNames.size());
    // Nothing was created outside the key's directory.
    EXPECT_EQ(std::distance(fs::directory_iterator(storeDir()), fs::directory_iterator()), 3);
    EXPECT_FALSE(fs::exists(temp_.path() / "escape"));
}

TEST_F(RegistryTest, BadNamesAndSizesAreRefusedAndLoseNothing) {
    Key key = createKey(u"Limits");
    ASSERT_EQ(key.setValue(u"v", makeDword(7)), kErrorSuccess);
    Key unused;
    for (const std::u16string& path :
         {std::u16string(256, u'k'), std::u16string(10000, u'k'), std::u16string(u"a\\\\b"),
          std::u16string(u"\\a"), std::u16string(u"a\\..\\b"), std::u16string(u"."),
          std::u16string(u"tab\there"), std::u16string(u"nul\0x", 5), std::u16string(1, 0xD800)}) {
        EXPECT_EQ(Key::create(store_, Root::LocalMachine, path, unused), kErrorInvalidParameter);
    }
    std::u16string deep;
    for (size_t i = 0; i < kMaxKeyDepth + 1; ++i) {
        deep += u"d\\";
    }
    EXPECT_EQ(Key::create(store_, Root::LocalMachine, deep, unused), kErrorInvalidParameter);

    EXPECT_EQ(key.setValue(std::u16string(16384, u'v'), makeDword(1)), kErrorInvalidParameter);
    EXPECT_EQ(key.setValue(u"ctl\x01", makeDword(1)), kErrorInvalidParameter);
    EXPECT_EQ(key.setValue(u"v", Value{kTypeDword, {1, 2, 3}}), kErrorInvalidParameter);
    EXPECT_EQ(key.setValue(u"v", Value{kTypeString, {1, 2, 3}}), kErrorInvalidParameter);
    EXPECT_EQ(key.setValue(u"v", Value{kTypeBinary, std::vector<uint8_t>(kMaxValueSize + 1)}),
              kErrorInvalidParameter);
    EXPECT_EQ(readDword(queried(key, u"v")), 7u);
    EXPECT_EQ(key.setValue(u"max", Value{kTypeBinary, std::vector<uint8_t>(kMaxValueSize, 1)}),
              kErrorSuccess);
    EXPECT_EQ(queried(key, u"max").data.size(), kMaxValueSize);
    EXPECT_EQ(makeMultiString({u"a", u""}), std::nullopt);
}

TEST_F(RegistryTest, DeletingKeysAndValues) {
    Key parent = createKey(u"Parent");
    Key child = createKey(u"Parent\\Child");
    createKey(u"Parent\\Child\\Grandchild");
    ASSERT_EQ(child.setValue(u"v", makeDword(1)), kErrorSuccess);

    EXPECT_EQ(deleteKey(store_, Root::LocalMachine, u"Parent\\Child"), kErrorAccessDenied);
    EXPECT_EQ(deleteKey(store_, Root::LocalMachine, u""), kErrorAccessDenied);
    EXPECT_EQ(deleteKey(store_, Root::LocalMachine, u"Parent\\Missing"), kErrorFileNotFound);
    EXPECT_EQ(deleteKey(store_, Root::LocalMachine, u"parent\\child\\GRANDCHILD"), kErrorSuccess);
    EXPECT_EQ(child.deleteValue(u"V"), kErrorSuccess);
    EXPECT_EQ(child.deleteValue(u"v"), kErrorFileNotFound);
    ASSERT_EQ(child.setValue(u"w", makeDword(2)), kErrorSuccess);

    ASSERT_EQ(deleteKeyTree(store_, Root::LocalMachine, u"Parent"), kErrorSuccess);
    Value value;
    EXPECT_EQ(child.queryValue(u"w", value), kErrorKeyDeleted);
    EXPECT_EQ(child.setValue(u"w", makeDword(3)), kErrorKeyDeleted);
    Key unused;
    EXPECT_EQ(Key::create(store_, Root::LocalMachine, u"Parent\\x", unused), kErrorSuccess);
    EXPECT_EQ(Key::open(store_, Root::LocalMachine, u"Parent\\Child", unused), kErrorFileNotFound);
    // The deleted keys left nothing behind in the store's temporary directory.
    EXPECT_TRUE(fs::is_empty(storeDir() / ".tmp"));
}

TEST_F(RegistryTest, RootsAccessAndViews) {
    Key user;
    ASSERT_EQ(Key::create(store_, Root::CurrentUser, u"Software\\App", user), kErrorSuccess);
    ASSERT_EQ(user.setValue(u"n", makeDword(5)), kErrorSuccess);
    Key viaUsers;
    ASSERT_EQ(Key::open(store_, Root::Users, currentUserSid() + u"\\software\\app", viaUsers),
              kErrorSuccess);
    EXPECT_EQ(readDword(queried(viaUsers, u"n")), 5u);
    EXPECT_EQ(sidOfUser(1000), u"S-1-22-1-1000");

    Key classes;
    ASSERT_EQ(Key::create(store_, Root::ClassesRoot, u".txt", classes), kErrorSuccess);
    Key viaMachine;
    EXPECT_EQ(Key::open(store_, Root::LocalMachine, u"SOFTWARE\\Classes\\.txt", viaMachine),
              kErrorSuccess);
    EXPECT_EQ(Key::open(store_, static_cast<Root>(0x80000004), u"", viaMachine),
              kErrorInvalidHandle);

    Key readOnly;
    ASSERT_EQ(Key::open(store_, Root::Users, u"", readOnly, kKeyRead | kKeyWow64_64Key),
              kErrorSuccess);
    EXPECT_EQ(readOnly.setValue(u"x", makeDword(1)), kErrorAccessDenied);
    EXPECT_EQ(subkeys(readOnly), Names{currentUserSid()});
}

TEST_F(RegistryTest, HandEditedStoreIsRefusedNeverFollowed) {
    Key key = createKey(u"Edited");
    ASSERT_EQ(key.setValue(u"good", makeDword(1)), kErrorSuccess);
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
    EXPECT_EQ(key.queryValue(u"short", value), kErrorBadDb);
    EXPECT_EQ(key.queryValue(u"lies", value), kErrorBadDb);
    EXPECT_EQ(key.queryValue(u"link", value), kErrorBadDb);
    EXPECT_EQ(key.queryValue(u"fifo", value), kErrorBadDb);
    Key unused;
    EXPECT_EQ(Key::open(store_, Root::LocalMachine, u"Edited\\nometa", unused), kErrorBadKey);
    EXPECT_EQ(Key::open(store_, Root::LocalMachine, u"Edited\\linked", unused), kErrorBadKey);
    EXPECT_EQ(Key::create(store_, Root::LocalMachine, u"Edited\\linked\\x", unused), kErrorBadKey);
    EXPECT_EQ(values(key), Names{u"good"});
    EXPECT_TRUE(subkeys(key).empty());

    // A write replaces the link itself; the file it pointed to is untouched.
    EXPECT_EQ(key.setValue(u"link", makeDword(2)), kErrorSuccess);
    EXPECT_EQ(readDword(queried(key, u"link")), 2u);
    std::ifstream outside(temp_.path() / "outside");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(outside), {}), "secret");

    ASSERT_EQ(deleteKeyTree(store_, Root::LocalMachine, u"Edited"), kErrorSuccess);
    EXPECT_TRUE(fs::exists(temp_.path() / "outside"));
}

TEST_F(RegistryTest, UnsafeOwnershipOrPermissionsAreRefused) {
    createKey(u"Open\\Inner");
    fs::permissions(machineDir("k.open"), fs::perms::group_write, fs::perm_options::add);
    Key key;
    EXPECT_EQ(Key::open(store_, Root::LocalMachine, u"Open\\Inner", key), kErrorAccessDenied);
    fs::permissions(machineDir("k.open"), fs::perms::group_write, fs::perm_options::remove);
    EXPECT_EQ(Key::open(store_, Root::LocalMachine, u"Open\\Inner", key, kKeyAllAccess),
              kErrorSuccess);

    ASSERT_EQ(key.setValue(u"v", makeDword(1)), kErrorSuccess);
    fs::permissions(machineDir("k.open/k.inner/v.v"), fs::perms::others_write,
                    fs::perm_options::add);
    Value value;
    EXPECT_EQ(key.queryValue(u"v", value), kErrorAccessDenied);

    fs::permissions(storeDir(), fs::perms::others_write, fs::perm_options::add);
    Store store;
    EXPECT_EQ(Store::open(storeDir(), store), kErrorAccessDenied);
}

TEST_F(RegistryTest, LeftoverTemporaryFileOfACrashedWriterIsIgnoredThenReplaced) {
    Key key = createKey(u"Crash");
    ASSERT_EQ(key.setValue(u"State", makeString(u"old")), kErrorSuccess);
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

    ASSERT_EQ(key.setValue(u"State", makeString(u"newer")), kErrorSuccess);
    EXPECT_EQ(readString(queried(key, u"State")), u"newer");
    EXPECT_TRUE(fs::is_empty(tempDir));
}

// What killed writers leave in ".tmp/" goes the next time the store is
// opened, unless a writer is at work (it holds the sweep lock).
TEST_F(RegistryTest, OpeningTheStoreSweepsLeftoversOfDeadWriters) {
    Key key = createKey(u"Kept");
    ASSERT_EQ(key.setValue(u"State", makeString(u"kept")), kErrorSuccess);
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
        ASSERT_EQ(Store::open(storeDir(), busy), kErrorSuccess);
        EXPECT_TRUE(fs::exists(tempDir / "v-12345-v.state"));
    }
    Store reopened;
    ASSERT_EQ(Store::open(storeDir(), reopened), kErrorSuccess);
    EXPECT_TRUE(fs::is_empty(tempDir));
    EXPECT_TRUE(fs::exists(outside.path() / "keep"));
    Key again;
    ASSERT_EQ(Key::open(reopened, Root::LocalMachine, u"Kept", again), kErrorSuccess);
    EXPECT_EQ(readString(queried(again, u"State")), u"kept");
}

TEST_F(RegistryTest, ThreadsWritingOneKeyNeverCorruptIt) {
    Key key = createKey(u"Threads");
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (uint32_t i = 0; i < 25; ++i) {
                EXPECT_EQ(key.setValue(u"shared", makeDword(t * 1000 + i)), kErrorSuccess);
                Key subkey;
                EXPECT_EQ(Key::create(store_, Root::LocalMachine, u"Threads\\Sub\\Deeper", subkey),
                          kErrorSuccess);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(readDword(queried(key, u"shared")).value() % 1000, 24u);
    EXPECT_EQ(subkeys(key), Names{u"Sub"});
    EXPECT_TRUE(fs::is_empty(storeDir() / ".tmp"));
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
    ASSERT_EQ(Key::open(store_, Root::LocalMachine, u"Race\\Deep", key), kErrorSuccess);
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

TEST(RegistryFormat, RecordsRoundTripAndRejectEveryInconsistency) {
    const Value value = makeString(u"data");
    auto bytes = format::encodeValueFile(u"Name", value);
    std::u16string name;
    Value decoded;
    ASSERT_TRUE(format::decodeValueFile(bytes, name, decoded));
    EXPECT_EQ(name, u"Name");
    EXPECT_EQ(decoded, value);
    for (size_t cut : {size_t{0}, size_t{19}, bytes.size() - 1}) {
        EXPECT_FALSE(format::decodeValueFile(std::span(bytes).first(cut), name, decoded));
    }
    bytes.push_back(0);
    EXPECT_FALSE(format::decodeValueFile(bytes, name, decoded));

    auto meta = format::encodeKeyMetadata(u"Key");
    EXPECT_EQ(format::decodeKeyMetadata(meta), u"Key");
    meta[8] = 200;  // length beyond the record
    EXPECT_EQ(format::decodeKeyMetadata(meta), std::nullopt);

    EXPECT_EQ(format::diskName('k', u"AbC/.."), "k.abc%2F%2E%2E");
    EXPECT_EQ(format::diskName('v', std::u16string(300, u'x')).substr(0, 2), "v#");
    EXPECT_EQ(format::diskName('v', std::u16string(300, u'X')),
              format::diskName('v', std::u16string(300, u'x')));
}

}  // namespace
}  // namespace holm::registry::test

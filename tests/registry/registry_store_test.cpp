#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "registry/registry.h"
#include "registry/registry_fixture.h"
#include "registry/registry_format.h"
#include "support/test_support.h"

namespace holm::registry::test {
namespace {

namespace fs = std::filesystem;

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
        ASSERT_EQ(errorOf(key.setValue(name, value)), kErrorSuccess);
    }
    Key reopened;
    ASSERT_EQ(assign(Key::open(store_, Root::LocalMachine, u"SOFTWARE\\_avdebug"), reopened),
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
    ASSERT_EQ(errorOf(key.setValue(u"LogLevel", makeDword(1))), kErrorSuccess);
    ASSERT_EQ(errorOf(key.setValue(u"LOGLEVEL", makeDword(2))), kErrorSuccess);

    Key other;
    ASSERT_EQ(assign(Key::open(store_, Root::LocalMachine, u"SOFTWARE\\myproduct\\"), other),
              kErrorSuccess);
    EXPECT_EQ(readDword(queried(other, u"loglevel")), 2u);
    EXPECT_EQ(values(other), Names{u"LogLevel"});

    Key root;
    ASSERT_EQ(assign(Key::open(store_, Root::LocalMachine, u""), root), kErrorSuccess);
    EXPECT_EQ(subkeys(root), Names{u"Software"});
    bool created = true;
    ASSERT_EQ(assign(Key::create(store_, Root::LocalMachine, u"SOFTWARE", kKeyAllAccess, &created),
                     other),
              kErrorSuccess);
    EXPECT_FALSE(created);
    EXPECT_EQ(subkeys(root), Names{u"Software"});
}

TEST_F(RegistryTest, EnumerationIsOrderedWithoutRegardToCase) {
    Key key = createKey(u"Ordered");
    for (const char16_t* name : {u"charlie", u"Alpha", u"bravo", u"Delta"}) {
        ASSERT_EQ(errorOf(key.setValue(name, makeDword(0))), kErrorSuccess);
        Key subkey;
        ASSERT_EQ(
            assign(Key::create(store_, Root::LocalMachine, std::u16string(u"Ordered\\") + name),
                   subkey),
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
        EXPECT_EQ(assign(Key::create(store_, Root::LocalMachine, u"Names\\" + name), subkey),
                  kErrorSuccess);
    }
    EXPECT_EQ(subkeys(key).size(), keyNames.size());
    const Names valueNames{u"../../escape", u"back\\slash", u".", std::u16string(16383, u'v')};
    for (const auto& name : valueNames) {
        EXPECT_EQ(errorOf(key.setValue(name, makeString(name))), kErrorSuccess);
        EXPECT_EQ(readString(queried(key, name)), name);
    }
    EXPECT_EQ(values(key).size(), valueNames.size());
    EXPECT_FALSE(fs::exists(temp_.path() / "escape"));
}

TEST_F(RegistryTest, BadNamesAndSizesAreRefusedAndLoseNothing) {
    Key key = createKey(u"Limits");
    ASSERT_EQ(errorOf(key.setValue(u"v", makeDword(7))), kErrorSuccess);
    Key unused;
    for (const std::u16string& path :
         {std::u16string(256, u'k'), std::u16string(10000, u'k'), std::u16string(u"a\\\\b"),
          std::u16string(u"\\a"), std::u16string(u"a\\..\\b"), std::u16string(u"."),
          std::u16string(u"tab\there"), std::u16string(u"nul\0x", 5), std::u16string(1, 0xD800)}) {
        EXPECT_EQ(assign(Key::create(store_, Root::LocalMachine, path), unused),
                  kErrorInvalidParameter);
    }
    std::u16string deep;
    for (size_t i = 0; i < kMaxKeyDepth + 1; ++i) {
        deep += u"d\\";
    }
    EXPECT_EQ(assign(Key::create(store_, Root::LocalMachine, deep), unused),
              kErrorInvalidParameter);

    EXPECT_EQ(errorOf(key.setValue(std::u16string(16384, u'v'), makeDword(1))),
              kErrorInvalidParameter);
    EXPECT_EQ(errorOf(key.setValue(u"ctl\x01", makeDword(1))), kErrorInvalidParameter);
    EXPECT_EQ(errorOf(key.setValue(u"v", Value{kTypeDword, {1, 2, 3}})), kErrorInvalidParameter);
    EXPECT_EQ(errorOf(key.setValue(u"v", Value{kTypeString, {1, 2, 3}})), kErrorInvalidParameter);
    EXPECT_EQ(
        errorOf(key.setValue(u"v", Value{kTypeBinary, std::vector<uint8_t>(kMaxValueSize + 1)})),
        kErrorInvalidParameter);
    EXPECT_EQ(readDword(queried(key, u"v")), 7u);
    EXPECT_EQ(
        errorOf(key.setValue(u"max", Value{kTypeBinary, std::vector<uint8_t>(kMaxValueSize, 1)})),
        kErrorSuccess);
    EXPECT_EQ(queried(key, u"max").data.size(), kMaxValueSize);
    EXPECT_EQ(makeMultiString({u"a", u""}), std::nullopt);
}

TEST_F(RegistryTest, DeletingKeysAndValues) {
    Key parent = createKey(u"Parent");
    Key child = createKey(u"Parent\\Child");
    createKey(u"Parent\\Child\\Grandchild");
    ASSERT_EQ(errorOf(child.setValue(u"v", makeDword(1))), kErrorSuccess);

    EXPECT_EQ(errorOf(deleteKey(store_, Root::LocalMachine, u"Parent\\Child")), kErrorAccessDenied);
    EXPECT_EQ(errorOf(deleteKey(store_, Root::LocalMachine, u"")), kErrorAccessDenied);
    EXPECT_EQ(errorOf(deleteKey(store_, Root::LocalMachine, u"Parent\\Missing")),
              kErrorFileNotFound);
    EXPECT_EQ(errorOf(deleteKey(store_, Root::LocalMachine, u"parent\\child\\GRANDCHILD")),
              kErrorSuccess);
    EXPECT_EQ(errorOf(child.deleteValue(u"V")), kErrorSuccess);
    EXPECT_EQ(errorOf(child.deleteValue(u"v")), kErrorFileNotFound);
    ASSERT_EQ(errorOf(child.setValue(u"w", makeDword(2))), kErrorSuccess);

    ASSERT_EQ(errorOf(deleteKeyTree(store_, Root::LocalMachine, u"Parent")), kErrorSuccess);
    Value value;
    EXPECT_EQ(assign(child.queryValue(u"w"), value), kErrorKeyDeleted);
    EXPECT_EQ(errorOf(child.setValue(u"w", makeDword(3))), kErrorKeyDeleted);
    Key unused;
    EXPECT_EQ(assign(Key::create(store_, Root::LocalMachine, u"Parent\\x"), unused), kErrorSuccess);
    EXPECT_EQ(assign(Key::open(store_, Root::LocalMachine, u"Parent\\Child"), unused),
              kErrorFileNotFound);
}

TEST_F(RegistryTest, RootsAccessAndViews) {
    Key user;
    ASSERT_EQ(assign(Key::create(store_, Root::CurrentUser, u"Software\\App"), user),
              kErrorSuccess);
    ASSERT_EQ(errorOf(user.setValue(u"n", makeDword(5))), kErrorSuccess);
    Key viaUsers;
    ASSERT_EQ(
        assign(Key::open(store_, Root::Users, currentUserSid() + u"\\software\\app"), viaUsers),
        kErrorSuccess);
    EXPECT_EQ(readDword(queried(viaUsers, u"n")), 5u);
    EXPECT_EQ(sidOfUser(1000), u"S-1-22-1-1000");

    Key classes;
    ASSERT_EQ(assign(Key::create(store_, Root::ClassesRoot, u".txt"), classes), kErrorSuccess);
    Key viaMachine;
    EXPECT_EQ(assign(Key::open(store_, Root::LocalMachine, u"SOFTWARE\\Classes\\.txt"), viaMachine),
              kErrorSuccess);
    EXPECT_EQ(assign(Key::open(store_, static_cast<Root>(0x80000004), u""), viaMachine),
              kErrorInvalidHandle);

    Key readOnly;
    ASSERT_EQ(assign(Key::open(store_, Root::Users, u"", kKeyRead | kKeyWow64_64Key), readOnly),
              kErrorSuccess);
    EXPECT_EQ(errorOf(readOnly.setValue(u"x", makeDword(1))), kErrorAccessDenied);
    EXPECT_EQ(subkeys(readOnly), Names{currentUserSid()});
}

TEST_F(RegistryTest, ThreadsWritingOneKeyNeverCorruptIt) {
    Key key = createKey(u"Threads");
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (uint32_t i = 0; i < 25; ++i) {
                EXPECT_EQ(errorOf(key.setValue(u"shared", makeDword(t * 1000 + i))), kErrorSuccess);
                Key subkey;
                EXPECT_EQ(assign(Key::create(store_, Root::LocalMachine, u"Threads\\Sub\\Deeper"),
                                 subkey),
                          kErrorSuccess);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(readDword(queried(key, u"shared")).value() % 1000, 24u);
    EXPECT_EQ(subkeys(key), Names{u"Sub"});
}

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

#include "security/library_dependencies.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/verified_open.h"

namespace holm::security {
namespace {

// A minimal 64-bit ELF image: header, one loadable segment covering the
// whole file, a dynamic section and its string table.
class ElfImage {
  public:
    ElfImage(const std::vector<std::pair<int64_t, std::string>>& entries) {
        bytes_.resize(kStrings);
        put(0,
            "\x7f"
            "ELF\x02\x01\x01",
            7);
        put16(54, 56);                      // program header size
        put16(56, 2);                       // program headers
        put64(32, kProgramHeaders);         // their offset
        putSegment(kProgramHeaders, 1, 0);  // PT_LOAD from offset 0
        putSegment(kProgramHeaders + 56, 2, kDynamic);
        std::string strings(1, '\0');
        size_t entry = kDynamic;
        for (const auto& [tag, text] : entries) {
            put64(entry, static_cast<uint64_t>(tag));
            put64(entry + 8, strings.size());
            strings += text + '\0';
            entry += 16;
        }
        put64(entry, 5);  // DT_STRTAB
        put64(entry + 8, kStrings);
        put64(entry + 16, 10);  // DT_STRSZ
        put64(entry + 24, strings.size());
        bytes_.resize(kStrings + strings.size());
        put(kStrings, strings.data(), strings.size());
        // The loadable segment covers everything.
        put64(kProgramHeaders + 32, bytes_.size());
        put64(kProgramHeaders + 56 + 32, entry + 48 - kDynamic);
    }

    std::vector<std::byte>& bytes() { return bytes_; }
    std::optional<std::string> refusal() const { return dependencyRefusal(bytes_); }
    auto requests() const { return readLibraryRequests(MemoryBytes(bytes_)); }

    // The PT_DYNAMIC header's file offset and size.
    void setDynamicOffset(uint64_t offset) { put64(kProgramHeaders + 56 + 8, offset); }
    void setDynamicSize(uint64_t size) { put64(kProgramHeaders + 56 + 32, size); }

  private:
    static constexpr size_t kProgramHeaders = 64;
    static constexpr size_t kDynamic = 256;
    static constexpr size_t kStrings = 1024;

    void put(size_t at, const void* data, size_t size) {
        std::memcpy(bytes_.data() + at, data, size);
    }
    void put16(size_t at, uint16_t value) { put(at, &value, sizeof value); }
    void put64(size_t at, uint64_t value) { put(at, &value, sizeof value); }
    void putSegment(size_t at, uint32_t type, uint64_t offset) {
        put(at, &type, sizeof type);
        put64(at + 8, offset);   // file offset
        put64(at + 16, offset);  // virtual address
    }

    std::vector<std::byte> bytes_;
};

constexpr int64_t kNeeded = 1;
constexpr int64_t kRunPathOld = 15;
constexpr int64_t kRunPath = 29;
constexpr int64_t kAuxiliary = 0x7ffffffd;
constexpr int64_t kFilter = 0x7fffffff;
constexpr int64_t kAudit = 0x6ffffefc;
constexpr int64_t kDepAudit = 0x6ffffefb;

TEST(DependencyRule, SystemDependenciesAndSystemRunPathsPass) {
    EXPECT_EQ(ElfImage({{kNeeded, "libc.so.6"}}).refusal(), std::nullopt);
    EXPECT_EQ(
        ElfImage({{kNeeded, "libm.so.6"}, {kRunPath, "/usr/lib/:/lib/x86_64-linux-gnu"}}).refusal(),
        std::nullopt);
    EXPECT_EQ(ElfImage({}).refusal(), std::nullopt);
}

TEST(DependencyRule, ForeignRunPathsAndDependenciesByPathAreRefused) {
    for (const char* runPath : {"$ORIGIN", "/opt/vendor/lib", "/usr/lib:/tmp", "lib", "",
                                "/usr/lib::/lib", "/usr/$LIB", "/usr/lib/../../tmp", "/usr/libx"}) {
        for (int64_t tag : {kRunPath, kRunPathOld}) {
            const auto refusal = ElfImage({{kNeeded, "libx.so"}, {tag, runPath}}).refusal();
            ASSERT_TRUE(refusal) << runPath;
            EXPECT_NE(refusal->find("run path names"), std::string::npos) << *refusal;
        }
    }
    const auto byPath = ElfImage({{kNeeded, "/tmp/libevil.so"}}).refusal();
    ASSERT_TRUE(byPath);
    EXPECT_NE(byPath->find("\"/tmp/libevil.so\" by path"), std::string::npos) << *byPath;
    // Names from the file reach the log without control characters.
    const auto hostile = ElfImage({{kRunPath, "/x\n\x1b[2J\"y"}}).refusal();
    ASSERT_TRUE(hostile);
    EXPECT_NE(hostile->find("\"/x\\x0a\\x1b[2J\\x22y\""), std::string::npos) << *hostile;
}

// Every name that makes the loader open a file is read, and each is held to
// the rules of a dependency; audit libraries and tags the reader does not
// know are refused.
TEST(DependencyRule, EveryNameTheLoaderOpensIsSeen) {
    const auto requests = ElfImage({{kNeeded, "libc.so.6"},
                                    {kAuxiliary, "libaux.so"},
                                    {kFilter, "libfilter.so"},
                                    {kRunPath, "/usr/lib"}})
                              .requests();
    ASSERT_TRUE(requests);
    EXPECT_EQ(requests->needed, std::vector<std::string>{"libc.so.6"});
    EXPECT_EQ(requests->auxiliary, std::vector<std::string>{"libaux.so"});
    EXPECT_EQ(requests->filters, std::vector<std::string>{"libfilter.so"});
    EXPECT_EQ(requests->runPath, "/usr/lib");

    const std::pair<std::vector<std::pair<int64_t, std::string>>, std::string> refused[] = {
        {{{kAuxiliary, "/tmp/libaux.so"}}, "auxiliary library \"/tmp/libaux.so\" by path"},
        {{{kFilter, "/tmp/libf.so"}}, "filter library \"/tmp/libf.so\" by path"},
        {{{kNeeded, "lib$PLATFORM.so"}}, "which the loader would rewrite"},
        {{{kAudit, "libaudit.so"}}, "audit library \"libaudit.so\""},
        {{{kDepAudit, "libaudit.so"}}, "audit library \"libaudit.so\""},
        {{{0x6ffffefa, "x"}}, "the tag 1879047930, which the dependency check does not know"},
        {{{50, "x"}}, "the tag 50, which"},
    };
    for (const auto& [entries, reason] : refused) {
        const auto refusal = ElfImage(entries).refusal();
        ASSERT_TRUE(refusal) << reason;
        EXPECT_NE(refusal->find(reason), std::string::npos) << *refusal;
    }
}

// The dynamic section is read where the loader reads it: a PT_DYNAMIC header
// that claims fewer entries than there are hides none of them, and is
// refused; one whose file offset disagrees with the loadable segment is
// refused too.
TEST(DependencyRule, TheDynamicSectionIsReadAsTheLoaderReadsIt) {
    ElfImage shortened({{kRunPath, "/opt/foreign"}, {kNeeded, "libx.so"}});
    shortened.setDynamicSize(32);
    const auto requests = shortened.requests();
    ASSERT_TRUE(requests);
    EXPECT_EQ(requests->runPath, "/opt/foreign");
    EXPECT_EQ(requests->needed, std::vector<std::string>{"libx.so"});
    EXPECT_EQ(shortened.refusal(), "its dynamic segment is shorter than its dynamic section");

    ElfImage moved({{kNeeded, "libc.so.6"}});
    moved.setDynamicOffset(256 + 16);
    const auto refusal = moved.refusal();
    ASSERT_TRUE(refusal);
    EXPECT_NE(refusal->find("does not lie where its loadable segments map it"), std::string::npos)
        << *refusal;
}

// Damaged images are refused with a reason, never read outside their bytes.
TEST(DependencyRule, MalformedImagesAreRefused) {
    EXPECT_TRUE(dependencyRefusal(std::span<const std::byte>()));
    ElfImage image({{kNeeded, "libc.so.6"}});
    for (size_t length : {size_t{3}, size_t{40}, size_t{100}, size_t{300}, size_t{1025}}) {
        const std::span<const std::byte> cut(image.bytes().data(), length);
        EXPECT_TRUE(dependencyRefusal(cut)) << length;
    }
    ElfImage unterminated({{kNeeded, "libc.so.6"}});
    unterminated.bytes().back() = std::byte{'x'};
    EXPECT_TRUE(unterminated.refusal());
}

TEST(DependencyRule, ReadsALibraryFromItsDescriptor) {
    const std::string path = HOLM_SIGNED_MODULE;
    auto dir = platform::openDirectory(path.substr(0, path.rfind('/')));
    ASSERT_TRUE(dir.ok());
    auto module = platform::openFileAt(dir->fd.get(), path.substr(path.rfind('/') + 1));
    ASSERT_TRUE(module.ok());
    EXPECT_EQ(dependencyRefusal(module->fd.get(), module->info.size), std::nullopt);
}

}  // namespace
}  // namespace holm::security

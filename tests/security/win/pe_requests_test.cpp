// The Windows reader of what a library asks the loader for: the import and
// delay-load import tables of a PE image, read from a library this build made.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "security/library_dependencies.h"
#include "support/test_support.h"

namespace holm::security {
namespace {

class PeRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string content = test::bytesOf(HOLM_SIGNED_MODULE);
        ASSERT_GT(content.size(), 1024u);
        image_.resize(content.size());
        std::memcpy(image_.data(), content.data(), content.size());
    }

    // Where `text` first appears in the image.
    size_t find(std::string_view text) const {
        const auto* begin = reinterpret_cast<const char*>(image_.data());
        const std::string_view all(begin, image_.size());
        const size_t at = all.find(text);
        EXPECT_NE(at, std::string_view::npos) << text;
        return at;
    }

    std::vector<std::byte> image_;
};

bool namesIgnoringCase(const std::vector<std::string>& names, std::string_view wanted) {
    return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
        return name.size() == wanted.size() &&
               std::equal(name.begin(), name.end(), wanted.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) ==
                          std::tolower(static_cast<unsigned char>(b));
               });
    });
}

TEST_F(PeRequests, ReadsTheDllsARealLibraryImports) {
    const auto requests = readLibraryRequests(MemoryBytes(image_));
    ASSERT_TRUE(requests) << requests.error();
    EXPECT_TRUE(requests->dynamic);
    EXPECT_TRUE(namesIgnoringCase(requests->needed, "kernel32.dll"));
    EXPECT_TRUE(namesIgnoringCase(requests->needed, "msvcrt.dll"));
    EXPECT_EQ(dependencyRefusal(image_), std::nullopt);
}

TEST_F(PeRequests, RefusesADependencyNamedByPath) {
    const size_t at = find("KERNEL32.dll");
    for (const char* path : {"C:\\", "..\\", "a/b"}) {
        auto image = image_;
        std::memcpy(image.data() + at, path, 3);
        const auto why = dependencyRefusal(image);
        ASSERT_TRUE(why) << path;
        EXPECT_NE(why->find("by path"), std::string::npos) << *why;
    }
}

TEST_F(PeRequests, RefusesWhatIsNoImageOfThisMachine) {
    auto otherMachine = image_;
    uint32_t peOffset = 0;
    std::memcpy(&peOffset, image_.data() + 0x3C, sizeof peOffset);
    otherMachine[peOffset + 4] = std::byte{0x64};  // ARM64 (0xAA64)
    otherMachine[peOffset + 5] = std::byte{0xAA};
    const auto why = dependencyRefusal(otherMachine);
    ASSERT_TRUE(why);
    EXPECT_NE(why->find("another machine"), std::string::npos) << *why;

    const char elf[] =
        "\x7f"
        "ELF\x02\x01\x01";
    std::vector<std::byte> notPe(4096);
    std::memcpy(notPe.data(), elf, sizeof elf);
    EXPECT_TRUE(dependencyRefusal(notPe));

    auto farHeader = image_;
    const uint32_t beyond = 0xFFFFFFF0u;
    std::memcpy(farHeader.data() + 0x3C, &beyond, sizeof beyond);
    EXPECT_TRUE(dependencyRefusal(farHeader));
}

TEST_F(PeRequests, EveryCutOfTheHeadersIsRefusedNotOverread) {
    // Cuts through the headers and the import table: each is refused or
    // read within the bytes given, never past them.
    const size_t importName = find("KERNEL32.dll");
    for (size_t length : {size_t{0}, size_t{2}, size_t{0x40}, size_t{0x80}, size_t{0x100},
                          size_t{0x200}, size_t{0x400}, importName, importName + 4}) {
        if (length > image_.size()) {
            continue;
        }
        const std::vector<std::byte> cut(image_.begin(), image_.begin() + length);
        EXPECT_TRUE(dependencyRefusal(cut)) << length;
    }
}

}  // namespace
}  // namespace holm::security

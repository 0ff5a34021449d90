#include "platform/directory_listing.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/io.h"
#include "support/test_support.h"

namespace holm::platform {
namespace {

TEST(DirectoryListingTest, ListsEveryEntryButDotsAndLeavesTheDescriptorOpen) {
    test::TempDir dir;
    dir.write("file", "x");
    std::filesystem::create_directory(dir.path() / "sub");
    std::filesystem::create_symlink("missing", dir.path() / "link");
    auto directory = io::open(dir.path().string(), {.directory = true});
    ASSERT_TRUE(directory.ok());

    for (int pass = 0; pass < 2; ++pass) {  // the descriptor is still usable
        auto names = entryNamesAt(directory->get());
        ASSERT_TRUE(names.ok()) << names.error().message();
        std::sort(names->begin(), names->end());
        EXPECT_EQ(*names, (std::vector<std::string>{"file", "link", "sub"}));
    }
    EXPECT_FALSE(entryNamesAt(-1).ok());
}

}  // namespace
}  // namespace holm::platform

// Resource text files behind symbolic links (the POSIX systems' links; Wine
// has none to make).
#include <gtest/gtest.h>

#include <filesystem>

#include "utilities/resource_table.h"
#include "utilities/resource_text_file_fixture.h"

namespace Tandro::Utilities {
namespace {

TEST_F(ResourceTextFileOnDiskTest, AFileReachedThroughASymbolicLinkIsRefused) {
    const auto path = write("holmmsg.dll", ResourceTextFile::encode({{1, u"first"}}));
    std::filesystem::create_symlink(path, dir_.path() / "link.dll");
    expectOpenFails((dir_.path() / "link.dll").string(), "symbolic link");
}

}  // namespace
}  // namespace Tandro::Utilities

// Verification on Windows: a verified file is held open so that it cannot be
// replaced or changed until it is closed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "security/product_files.h"
#include "security/support/signed_files.h"
#include "security/verified_file.h"
#include "support/test_support.h"

namespace holm::security {
namespace {

namespace fs = std::filesystem;

using VerifiedFileWindows = SignedFilesTest;

TEST_F(VerifiedFileWindows, AVerifiedFileCannotBeReplacedOrWrittenWhileHeld) {
    const fs::path path = signedFile("plugin.dll", "verified content");
    {
        const VerifiedFile file = VerifiedFile::open(test::utf8(path), trust_, FileRole::Plugin);
        ASSERT_TRUE(file);

        const fs::path impostor = writeFile("impostor.dll", "replaced content");
        std::error_code error;
        fs::rename(impostor, path, error);
        EXPECT_TRUE(error) << "a held file was replaced";
        std::ofstream rewrite(path, std::ios::binary | std::ios::in | std::ios::out);
        EXPECT_FALSE(rewrite.is_open()) << "a held file was opened for writing";
        EXPECT_EQ(test::bytesOf(file.loadPath()), "verified content");
    }
    // Closed, it may change again, and the change is seen.
    const fs::path impostor = dir_.path() / "impostor.dll";
    fs::rename(impostor, path);
    EXPECT_EQ(verify(path), Reason::DigestMismatch);
}

// The product directory is recognised by what it is, however a path to it
// is spelled.
TEST(ProductFilesWindows, TheRoleFollowsTheFileNotItsSpelling) {
    holm::test::TempDir product;
    const std::string directory = test::utf8(product.path());
    const std::string name(kProductFileNames[0]);
    for (const std::string& path :
         {directory + "\\" + name, directory + "/" + name, directory + "\\.\\" + name}) {
        EXPECT_EQ(roleOfFile(path, directory, FileRole::Plugin), FileRole::Product) << path;
    }
    EXPECT_EQ(roleOfFile(directory + "\\libplugin.dll", directory, FileRole::Plugin),
              FileRole::Plugin);
    EXPECT_EQ(roleOfFile("C:\\nonexistent\\" + name, directory, FileRole::Plugin),
              FileRole::Plugin);
}

}  // namespace
}  // namespace holm::security

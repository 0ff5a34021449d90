// Files, their directories and trusted-key directories that belong to another
// user are refused, whatever their mode and signature: that user could
// replace them. Handing files to another user needs root; elsewhere these
// tests are skipped.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "security/support/signed_files.h"
#include "security/verified_file.h"
#include "support/test_support.h"

namespace holm::security {
namespace {

namespace fs = std::filesystem;
using fs::perms;

constexpr perms kSearchable = perms::owner_all | perms::group_read | perms::group_exec |
                              perms::others_read | perms::others_exec;

class OwnershipTest : public SignedFilesTest {
  protected:
    void SetUp() override {
        if (!test::canGiveAwayFiles()) {
            GTEST_SKIP() << "only root can hand files to another user";
        }
    }

    // A directory below the test directory, not writable by group or others.
    fs::path directory(const std::string& name) const {
        const fs::path path = dir_.path() / name;
        fs::create_directory(path);
        fs::permissions(path, kSearchable);
        return path;
    }

    static void giveAway(const fs::path& path) {
        ASSERT_TRUE(test::giveToAnotherUser(path)) << path;
    }
};

TEST_F(OwnershipTest, AFileOfAnotherUserIsRefusedSignedOrNot) {
    directory("files");
    const fs::path signedPath = signedFile("files/plugin.so", "code");
    ASSERT_EQ(verify(signedPath), Reason::Verified);
    giveAway(signedPath);
    EXPECT_EQ(verify(signedPath), Reason::UntrustedOwner);

    const fs::path list = writeFile("files/list.xml", "<list/>");
    ASSERT_EQ(verify(list, true), Reason::AcceptedUnsigned);
    giveAway(list);
    EXPECT_EQ(verify(list, true), Reason::UntrustedOwner);
}

TEST_F(OwnershipTest, AFileInADirectoryOfAnotherUserIsRefusedSignedOrNot) {
    const fs::path dir = directory("foreign");
    const fs::path signedPath = signedFile("foreign/plugin.so", "code");
    const fs::path list = writeFile("foreign/list.xml", "<list/>");
    ASSERT_EQ(verify(signedPath), Reason::Verified);
    giveAway(dir);
    EXPECT_EQ(verify(signedPath), Reason::DirectoryUntrustedOwner);
    EXPECT_EQ(verify(list, true), Reason::DirectoryUntrustedOwner);
}

TEST_F(OwnershipTest, KeysOfAnotherUserAreNotEnrolled) {
    const auto vendor = PrivateKey::generate();
    const fs::path keys = directory("trusted-keys");
    writeFile("trusted-keys/vendor.pub", vendor->publicKey().toPem());
    giveAway(writeFile("trusted-keys/other.pub", author_.publicKey().toPem()));

    TrustStore store;
    const auto ignored = store.enrollDirectory(keys.string());
    ASSERT_EQ(store.keys().size(), 1u);
    EXPECT_EQ(store.keys()[0].key, vendor->publicKey());
    ASSERT_EQ(ignored.size(), 1u);
    EXPECT_EQ(ignored[0].path, (keys / "other.pub").string());

    giveAway(keys);
    TrustStore foreign;
    EXPECT_EQ(foreign.enrollDirectory(keys.string()).size(), 1u);
    EXPECT_TRUE(foreign.keys().empty());
}

}  // namespace
}  // namespace holm::security

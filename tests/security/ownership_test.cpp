// Files, their directories and trusted-key directories that belong to another
// user are refused, whatever their mode and signature: that user could
// replace them. Handing files to another user needs root; elsewhere these
// tests are skipped.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "security/signing.h"
#include "security/verified_file.h"
#include "support/test_support.h"

namespace holm::security {
namespace {

namespace fs = std::filesystem;
using fs::perms;

constexpr perms kReadable =
    perms::owner_read | perms::owner_write | perms::group_read | perms::others_read;
constexpr perms kSearchable = perms::owner_all | perms::group_read | perms::group_exec |
                              perms::others_read | perms::others_exec;

class OwnershipTest : public ::testing::Test {
  protected:
    OwnershipTest() : author_(*PrivateKey::generate()) { trust_.add(author_.publicKey()); }

    void SetUp() override {
        if (!test::canGiveAwayFiles()) {
            GTEST_SKIP() << "only root can hand files to another user";
        }
        fs::permissions(dir_.path(), perms::owner_all);
    }

    // A directory below the test directory, not writable by group or others.
    fs::path directory(const std::string& name) const {
        const fs::path path = dir_.path() / name;
        fs::create_directory(path);
        fs::permissions(path, kSearchable);
        return path;
    }

    // A file signed by the trusted author, readable by all, writable by its owner.
    fs::path signedFile(const fs::path& path, const std::string& content) const {
        writeFile(path, content);
        std::string error;
        const auto signature = signFile(path.string(), author_, error);
        EXPECT_TRUE(signature) << error;
        EXPECT_TRUE(signature && writeSignatureFile(path.string(), *signature, error)) << error;
        return path;
    }

    static void writeFile(const fs::path& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
        fs::permissions(path, kReadable);
    }

    static void giveAway(const fs::path& path) {
        ASSERT_TRUE(test::giveToAnotherUser(path)) << path;
    }

    Reason verify(const fs::path& path, bool relaxed = false) const {
        VerifyOptions options;
        options.relaxed = relaxed;
        return VerifiedFile::open(path.string(), trust_, options).reason();
    }

    test::TempDir dir_;
    PrivateKey author_;
    TrustStore trust_;
};

TEST_F(OwnershipTest, AFileOfAnotherUserIsRefusedSignedOrNot) {
    const fs::path dir = directory("files");
    const fs::path signedPath = signedFile(dir / "plugin.so", "code");
    ASSERT_EQ(verify(signedPath), Reason::Verified);
    giveAway(signedPath);
    EXPECT_EQ(verify(signedPath), Reason::UntrustedOwner);

    const fs::path list = dir / "list.xml";
    writeFile(list, "<list/>");
    ASSERT_EQ(verify(list, true), Reason::AcceptedUnsigned);
    giveAway(list);
    EXPECT_EQ(verify(list, true), Reason::UntrustedOwner);
}

TEST_F(OwnershipTest, AFileInADirectoryOfAnotherUserIsRefusedSignedOrNot) {
    const fs::path dir = directory("foreign");
    const fs::path signedPath = signedFile(dir / "plugin.so", "code");
    const fs::path list = dir / "list.xml";
    writeFile(list, "<list/>");
    ASSERT_EQ(verify(signedPath), Reason::Verified);
    giveAway(dir);
    EXPECT_EQ(verify(signedPath), Reason::DirectoryUntrustedOwner);
    EXPECT_EQ(verify(list, true), Reason::DirectoryUntrustedOwner);
}

TEST_F(OwnershipTest, KeysOfAnotherUserAreNotEnrolled) {
    const auto vendor = PrivateKey::generate();
    const fs::path keys = directory("trusted-keys");
    writeFile(keys / "vendor.pub", vendor->publicKey().toPem());
    writeFile(keys / "other.pub", author_.publicKey().toPem());
    giveAway(keys / "other.pub");

    TrustStore store;
    const auto ignored = store.enrollDirectory(keys.string());
    ASSERT_EQ(store.keys().size(), 1u);
    EXPECT_EQ(store.keys()[0], vendor->publicKey());
    ASSERT_EQ(ignored.size(), 1u);
    EXPECT_EQ(ignored[0].path, (keys / "other.pub").string());

    giveAway(keys);
    TrustStore foreign;
    EXPECT_EQ(foreign.enrollDirectory(keys.string()).size(), 1u);
    EXPECT_TRUE(foreign.keys().empty());
}

}  // namespace
}  // namespace holm::security

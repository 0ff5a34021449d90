// Verification rules that rest on POSIX file modes, symbolic links and
// replacing a file that is open: Linux only.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/verified_open.h"
#include "security/product_files.h"
#include "security/support/signed_files.h"
#include "security/verified_file.h"
#include "support/test_support.h"

namespace holm::security {
namespace {

namespace fs = std::filesystem;
using fs::perms;

using VerifiedFilePosix = SignedFilesTest;

TEST_F(VerifiedFilePosix, TheRelaxedCheckAcceptsOnlyAnAbsentSignatureWithSafePermissions) {
    const fs::path path = writeFile("list.xml", "<list/>");
    EXPECT_EQ(verify(path, false), Reason::NoSignature);
    EXPECT_EQ(verify(path, true), Reason::AcceptedUnsigned);

    fs::permissions(path, perms::group_write, fs::perm_options::add);
    EXPECT_EQ(verify(path, true), Reason::WritableByOthers);
    fs::permissions(path, perms::group_write, fs::perm_options::remove);
    fs::permissions(path, perms::others_write, fs::perm_options::add);
    EXPECT_EQ(verify(path, true), Reason::WritableByOthers);
    fs::permissions(path, perms::others_write, fs::perm_options::remove);

    // The rule holds for the file's own directory, sticky bit or not.
    fs::permissions(dir_.path(), perms::all | perms::sticky_bit);
    EXPECT_EQ(verify(path, true), Reason::DirectoryWritableByOthers);
    fs::permissions(dir_.path(), perms::owner_all | perms::group_all);
    EXPECT_EQ(verify(path, true), Reason::DirectoryWritableByOthers);
    fs::permissions(dir_.path(), perms::owner_all);

    // A signature that is a link is refused, not treated as absent.
    fs::create_symlink(dir_.path() / "nowhere.sig", path.string() + ".sig");
    EXPECT_EQ(verify(path, true), Reason::SignatureNotRegularFile);
}

TEST_F(VerifiedFilePosix, SignedFilesNeedSafePermissionsToo) {
    const fs::path path = signedFile("plugin.so", "code");
    fs::permissions(path, perms::others_write, fs::perm_options::add);
    EXPECT_EQ(verify(path), Reason::WritableByOthers);
}

TEST_F(VerifiedFilePosix, OnlyRegularFilesAreOpened) {
    const fs::path target = signedFile("target.so", "code");
    const fs::path link = dir_.path() / "link.so";
    fs::create_symlink(target, link);
    fs::copy_file(target.string() + ".sig", link.string() + ".sig");
    EXPECT_EQ(verify(link), Reason::SymbolicLink);

    EXPECT_EQ(verify(dir_.path() / "missing.so"), Reason::NotFound);
    EXPECT_EQ(verify(dir_.path() / "missing" / "file.so"), Reason::NotFound);
    EXPECT_EQ(verify(target / "below-a-file"), Reason::NotFound);
    EXPECT_EQ(verify(""), Reason::NotFound);

    fs::create_directory(dir_.path() / "directory.so");
    EXPECT_EQ(verify(dir_.path() / "directory.so"), Reason::NotRegularFile);
    EXPECT_EQ(verify("/dev/null"), Reason::NotRegularFile);

    // Neither a FIFO nor a FIFO in place of the signature may block.
    const fs::path fifo = dir_.path() / "fifo.so";
    ASSERT_TRUE(platform::createFifo(fifo.string(), 0600).ok());
    EXPECT_EQ(verify(fifo, true), Reason::NotRegularFile);
    const fs::path unsignedFile = writeFile("unsigned.so", "code");
    ASSERT_TRUE(platform::createFifo(unsignedFile.string() + ".sig", 0600).ok());
    EXPECT_EQ(verify(unsignedFile, true), Reason::SignatureNotRegularFile);
}

TEST_F(VerifiedFilePosix, AFileReplacedAfterVerificationIsNotWhatGetsRead) {
    const fs::path path = signedFile("plugin.so", "verified content");
    const VerifiedFile file = VerifiedFile::open(path.string(), trust_, FileRole::Plugin);
    ASSERT_TRUE(file);

    const fs::path impostor = writeFile("impostor.so", "replaced content");
    fs::rename(impostor, path);
    EXPECT_EQ(test::bytesOf(path), "replaced content");
    EXPECT_EQ(test::bytesOf(file.loadPath()), "verified content");
    EXPECT_EQ(verify(path), Reason::DigestMismatch);
}

// "Already loaded" skips the signature, never the owner and permission rules.
TEST_F(VerifiedFilePosix, TheAlreadyLoadedShortcutKeepsTheOwnerAndModeRules) {
    const fs::path path = writeFile("libloaded.so", "code");
    VerifyOptions options;
    options.isLoaded = [](const platform::FileIdentity&) { return true; };
    const auto reason = [&] {
        return VerifiedFile::open(path.string(), trust_, FileRole::Plugin, options).reason();
    };
    EXPECT_EQ(reason(), Reason::AlreadyLoaded);
    fs::permissions(path, perms::others_write, fs::perm_options::add);
    EXPECT_EQ(reason(), Reason::WritableByOthers);
    fs::permissions(path, perms::others_write, fs::perm_options::remove);
    fs::permissions(dir_.path(), perms::group_write, fs::perm_options::add);
    EXPECT_EQ(reason(), Reason::DirectoryWritableByOthers);
}

TEST_F(VerifiedFilePosix, EnrolledKeysAreTrustedOnlyFromASafeDirectory) {
    const auto plugin = PrivateKey::generate();
    const fs::path path = writeFile("vendor.so", "vendor code");
    sign(path, *plugin);

    const fs::path keys = dir_.path() / "trusted-keys";
    fs::create_directory(keys);
    fs::permissions(keys, perms::owner_all);
    writeFile("trusted-keys/vendor.pub", plugin->publicKey().toPem());
    writeFile("trusted-keys/notes.txt", "not a key");
    writeFile("trusted-keys/broken.pub", "-----BEGIN PUBLIC KEY-----\n");
    writeFile("trusted-keys/open.pub", author_.publicKey().toPem(), perms::all);

    TrustStore store;
    const auto ignored = store.enrollDirectory(keys.string());
    ASSERT_EQ(store.keys().size(), 1u);
    EXPECT_EQ(store.keys()[0].key, plugin->publicKey());
    EXPECT_EQ(store.keys()[0].role, KeyRole::Enrolled);
    EXPECT_EQ(ignored.size(), 3u);
    EXPECT_EQ(VerifiedFile::open(path.string(), store, FileRole::Plugin).reason(),
              Reason::Verified);

    fs::permissions(keys, perms::others_write, fs::perm_options::add);
    TrustStore unsafe;
    EXPECT_EQ(unsafe.enrollDirectory(keys.string()).size(), 1u);
    EXPECT_TRUE(unsafe.keys().empty());

    TrustStore none;
    EXPECT_TRUE(none.enrollDirectory((dir_.path() / "absent").string()).empty());
}

TEST(ProductFiles, TheRoleFollowsTheFileNotTheReader) {
    holm::test::TempDir product;
    const fs::path link = product.path().string() + "-link";
    fs::create_directory_symlink(product.path(), link);
    const std::string directory = product.path().string();
    for (const fs::path& path : {product.path() / "holmmsg.dll", link / "holm-cfgupdate",
                                 product.path() / "." / "avholm"}) {
        EXPECT_EQ(roleOfFile(path.string(), directory, FileRole::Plugin), FileRole::Product)
            << path;
    }
    EXPECT_EQ(roleOfFile((product.path() / "libplugin.so").string(), directory, FileRole::Plugin),
              FileRole::Plugin);
    EXPECT_EQ(roleOfFile("/nonexistent/holmmsg.dll", directory, FileRole::Plugin),
              FileRole::Plugin);
    EXPECT_EQ(roleOfFile("/nonexistent/x", directory, FileRole::Product), FileRole::Product);
    fs::remove(link);
}

}  // namespace
}  // namespace holm::security

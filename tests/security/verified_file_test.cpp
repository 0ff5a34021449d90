#include "security/verified_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/verified_open.h"
#include "security/product_files.h"
#include "security/signing.h"
#include "security/support/signed_files.h"
#include "security/verified_data.h"
#include "support/test_support.h"

namespace holm::security {
namespace {

namespace fs = std::filesystem;
using fs::perms;

using VerifiedFileTest = SignedFilesTest;

TEST_F(VerifiedFileTest, ASignedFilePassesAndKeepsItsDescriptor) {
    const fs::path path = signedFile("libplugin.so", "plugin code");
    const VerifiedFile file = VerifiedFile::open(path.string(), trust_, FileRole::Plugin);
    EXPECT_EQ(file.reason(), Reason::Verified);
    EXPECT_GE(file.descriptor(), 0);
    EXPECT_EQ(file.size(), 11u);
    EXPECT_EQ(test::bytesOf(file.loadPath()), "plugin code");
}

TEST_F(VerifiedFileTest, AChangedFileIsRefused) {
    const fs::path tampered = signedFile("tampered.so", "0123456789");
    writeFile("tampered.so", "0123456X89");
    EXPECT_EQ(verify(tampered), Reason::DigestMismatch);

    const fs::path truncated = signedFile("truncated.so", "0123456789");
    fs::resize_file(truncated, 9);
    EXPECT_EQ(verify(truncated), Reason::WrongSize);

    const fs::path appended = signedFile("appended.so", "0123456789");
    std::ofstream(appended, std::ios::app) << 'x';
    EXPECT_EQ(verify(appended), Reason::WrongSize);
}

TEST_F(VerifiedFileTest, ASignatureDoesNotVouchForAnotherFile) {
    const fs::path first = signedFile("first.so", "first");
    const fs::path second = signedFile("second.so", "second");
    // (Removed first: overwriting copies are not supported everywhere.)
    fs::remove(first.string() + ".sig");
    fs::copy_file(second.string() + ".sig", first.string() + ".sig");
    EXPECT_EQ(verify(first), Reason::WrongName);

    // The same name elsewhere with other content.
    const fs::path sub = dir_.path() / "sub";
    fs::create_directory(sub);
    fs::permissions(sub, perms::owner_all);
    fs::copy_file(second, sub / "first.so");
    fs::copy_file(second.string() + ".sig", sub / "first.so.sig");
    sign(sub / "first.so", author_);
    fs::remove(first.string() + ".sig");
    fs::copy_file(sub / "first.so.sig", first.string() + ".sig");
    EXPECT_EQ(verify(first), Reason::WrongSize);
}

TEST_F(VerifiedFileTest, ARenamedSignedFileIsRefused) {
    const fs::path original = signedFile("original.so", "code");
    const fs::path renamed = dir_.path() / "renamed.so";
    fs::rename(original, renamed);
    fs::rename(original.string() + ".sig", renamed.string() + ".sig");
    EXPECT_EQ(verify(renamed), Reason::WrongName);
}

TEST_F(VerifiedFileTest, OnlyTrustedKeysCount) {
    const fs::path path = writeFile("plugin.so", "code");
    const auto stranger = PrivateKey::generate();
    sign(path, *stranger);
    EXPECT_EQ(verify(path), Reason::UntrustedKey);

    // The author's key id with a signature that is not the author's.
    sign(path, author_);
    std::string text = test::bytesOf(path.string() + ".sig");
    const size_t signatureStart = text.find("ed25519 ") + 8;
    text[signatureStart] = text[signatureStart] == '0' ? '1' : '0';
    writeFile("plugin.so.sig", text);
    EXPECT_EQ(verify(path), Reason::BadSignature);
}

TEST_F(VerifiedFileTest, BrokenSignatureFilesAreRefusedEvenWhenRelaxed) {
    const fs::path path = writeFile("list.xml", "<list/>");
    const std::vector<std::pair<std::string, Reason>> cases = {
        {"", Reason::BadSignatureFormat},
        {"holm-signature 1\n", Reason::BadSignatureFormat},
        {"holm-signature 7\n", Reason::UnsupportedSignatureVersion},
        {std::string(kMaxSignatureFileSize + 1, '\n'), Reason::SignatureTooLarge},
        {std::string(1 << 20, 'x'), Reason::SignatureTooLarge},
    };
    for (const auto& [content, reason] : cases) {
        writeFile("list.xml.sig", content);
        EXPECT_EQ(verify(path, true), reason);
        EXPECT_EQ(verify(path, false), reason);
    }
}

TEST_F(VerifiedFileTest, SelftestResolvesBareNamesAndSkipsLoadedFilesUnlessAlwaysVerifying) {
    const fs::path path = writeFile("CommonTextRc.dll", "texts");
    const platform::FileIdentity identity =
        VerifiedFile::open(path.string(), trust_, FileRole::Plugin,
                           {.relaxed = true, .isLoaded = {}})
            .identity();
    int queries = 0;
    SelftestContext context;
    context.productDirectory = dir_.path().string();
    context.trust = &trust_;
    context.role = FileRole::Plugin;
    context.isLoaded = [&](const platform::FileIdentity& file) {
        ++queries;
        return file == identity;
    };
    EXPECT_EQ(
        selftest("CommonTextRc.dll", UnsignedFiles::Refuse, LoadedFiles::Accept, context).reason(),
        Reason::AlreadyLoaded);
    EXPECT_EQ(
        selftest("CommonTextRc.dll", UnsignedFiles::Refuse, LoadedFiles::Verify, context).reason(),
        Reason::NoSignature);
    EXPECT_EQ(queries, 1);

    // A loaded module is recognised by identity, not by name.
    const fs::path hardLink = dir_.path() / "other-name.dll";
    fs::create_hard_link(path, hardLink);
    EXPECT_EQ(
        selftest(hardLink.string(), UnsignedFiles::Refuse, LoadedFiles::Accept, context).reason(),
        Reason::AlreadyLoaded);

    // A product file of the product directory needs the product key, whatever
    // role the caller asks for; a plugin's file of that name elsewhere does not.
    sign(path, author_);
    EXPECT_EQ(
        selftest("CommonTextRc.dll", UnsignedFiles::Refuse, LoadedFiles::Verify, context).reason(),
        Reason::NotProductKey);
    const fs::path plugins = dir_.path() / "plugin";
    fs::create_directory(plugins);
    fs::copy_file(path, plugins / "CommonTextRc.dll");
    fs::copy_file(path.string() + ".sig", plugins / "CommonTextRc.dll.sig");
    EXPECT_TRUE(selftest((plugins / "CommonTextRc.dll").string(), UnsignedFiles::Refuse,
                         LoadedFiles::Verify, context));
    context.productDirectory = (dir_.path() / "elsewhere").string();
    EXPECT_EQ(
        selftest("CommonTextRc.dll", UnsignedFiles::Refuse, LoadedFiles::Verify, context).reason(),
        Reason::NotFound);
}

// The product key alone signs product files; an enrolled key signs plugins
// and their data. The result says who signed.
// A file is a product file by its name and the identity of its directory:
// another spelling of the product directory or a link to it changes nothing,
// the same name elsewhere or another name in it keeps the role asked for.
TEST_F(VerifiedFileTest, KeyRolesDecideWhichFilesAKeyMaySign) {
    const auto product = PrivateKey::generate();
    trust_.add(product->publicKey(), KeyRole::Product);
    const fs::path byAuthor = signedFile("libauthor.so", "plugin code");
    const fs::path byProduct = writeFile("libholmcore.so", "core code");
    sign(byProduct, *product);

    EXPECT_EQ(verify(byAuthor, false, FileRole::Plugin), Reason::Verified);
    EXPECT_EQ(verify(byAuthor, false, FileRole::Product), Reason::NotProductKey);
    // Relaxed or not: a signature that is present decides.
    EXPECT_EQ(verify(byAuthor, true, FileRole::Product), Reason::NotProductKey);
    EXPECT_EQ(verify(byProduct, false, FileRole::Product), Reason::Verified);
    EXPECT_EQ(verify(byProduct, false, FileRole::Plugin), Reason::Verified);

    EXPECT_EQ(VerifiedFile::open(byAuthor.string(), trust_, FileRole::Plugin).signer(),
              KeyRole::Enrolled);
    EXPECT_EQ(VerifiedFile::open(byProduct.string(), trust_, FileRole::Plugin).signer(),
              KeyRole::Product);
    EXPECT_EQ(VerifiedFile::open(byAuthor.string(), trust_, FileRole::Product).signer(),
              std::nullopt);

    // A key trusted in both roles is the product key.
    trust_.add(author_.publicKey(), KeyRole::Product);
    EXPECT_EQ(verify(byAuthor, false, FileRole::Product), Reason::Verified);
}

// A data file is read once into memory and checked there: the content handed
// out is the content that was hashed, whatever happens to the file later.
TEST_F(VerifiedFileTest, VerifiedDataIsTheContentThatWasChecked) {
    const fs::path path = signedFile("texts.dll", "verified texts");
    const VerifiedData data = VerifiedData::open(path.string(), trust_, FileRole::Plugin);
    ASSERT_TRUE(data) << data.message();
    EXPECT_EQ(data.signer(), KeyRole::Enrolled);
    {
        std::ofstream rewrite(path, std::ios::binary | std::ios::in | std::ios::out);
        rewrite << "tampered";
    }
    EXPECT_EQ(data.text(), "verified texts");
    EXPECT_EQ(VerifiedData::open(path.string(), trust_, FileRole::Plugin).reason(),
              Reason::DigestMismatch);

    const fs::path list =
        writeFile("plugins.xml", "<list/>", perms::owner_read | perms::owner_write);
    const VerifiedData relaxed = VerifiedData::open(list.string(), trust_, FileRole::Product,
                                                    {.relaxed = true, .isLoaded = {}});
    EXPECT_EQ(relaxed.reason(), Reason::AcceptedUnsigned);
    EXPECT_EQ(relaxed.text(), "<list/>");
    const VerifiedData strict = VerifiedData::open(list.string(), trust_, FileRole::Product);
    EXPECT_EQ(strict.reason(), Reason::NoSignature);
    EXPECT_TRUE(strict.bytes().empty());
}

// The build signs its outputs with its development key, whose public half is
// compiled in as the product key.
TEST(BuildSigning, BuildOutputsVerifyWithTheCompiledInKey) {
    const auto text = readKeyFile(HOLM_DEVELOPMENT_PUBLIC_KEY);
    ASSERT_TRUE(text) << text.error().message;
    EXPECT_EQ(PublicKey::fromPem(*text), productKey());
    EXPECT_TRUE(productKeyIsDevelopmentKey());

    TrustStore productOnly;
    productOnly.add(productKey(), KeyRole::Product);
    SelftestContext context;
    context.trust = &productOnly;
    EXPECT_EQ(
        selftest(HOLM_SIGNED_DATA, UnsignedFiles::Refuse, LoadedFiles::Verify, context).reason(),
        Reason::Verified);
    EXPECT_EQ(
        selftest(HOLM_SIGNED_MODULE, UnsignedFiles::Refuse, LoadedFiles::Verify, context).reason(),
        Reason::Verified);
}

extern "C" int holmSignedModuleMarker();

TEST(BuildSigning, TheLoaderListTellsWhichFilesAreLoaded) {
    ASSERT_EQ(holmSignedModuleMarker(), 42);  // linked, hence loaded
    SelftestContext context;
    TrustStore empty;
    context.trust = &empty;
    EXPECT_EQ(
        selftest(HOLM_SIGNED_MODULE, UnsignedFiles::Refuse, LoadedFiles::Accept, context).reason(),
        Reason::AlreadyLoaded);
    EXPECT_EQ(
        selftest(HOLM_SIGNED_DATA, UnsignedFiles::Refuse, LoadedFiles::Accept, context).reason(),
        Reason::UntrustedKey);
}

}  // namespace
}  // namespace holm::security

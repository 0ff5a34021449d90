// The fixture of the file verification tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "security/signing.h"
#include "security/verified_file.h"
#include "support/test_support.h"

namespace holm::security {

// A private directory (0700) with files signed by an author key that the
// fixture's trust store holds.
class SignedFilesTest : public ::testing::Test {
  protected:
    SignedFilesTest() : author_(*PrivateKey::generate()) {
        std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all);
        trust_.add(author_.publicKey());
    }

    std::filesystem::path writeFile(
        const std::string& name, const std::string& content,
        std::filesystem::perms mode = std::filesystem::perms::owner_read |
                                      std::filesystem::perms::owner_write |
                                      std::filesystem::perms::group_read |
                                      std::filesystem::perms::others_read) const {
        const std::filesystem::path path = dir_.write(name, content);
        std::filesystem::permissions(path, mode);
        return path;
    }

    void sign(const std::filesystem::path& path, const PrivateKey& key) const {
        const auto signature = signFile(test::utf8(path), key);
        ASSERT_TRUE(signature) << signature.error().message;
        const auto written = writeSignatureFile(test::utf8(path), *signature);
        ASSERT_TRUE(written) << written.error().message;
    }

    std::filesystem::path signedFile(const std::string& name, const std::string& content) const {
        const std::filesystem::path path = writeFile(name, content);
        sign(path, author_);
        return path;
    }

    Reason verify(const std::filesystem::path& path, bool relaxed = false,
                  FileRole role = FileRole::Plugin) const {
        VerifyOptions options;
        options.relaxed = relaxed;
        return VerifiedFile::open(test::utf8(path), trust_, role, options).reason();
    }

    test::TempDir dir_;
    PrivateKey author_;
    TrustStore trust_;
};

}  // namespace holm::security

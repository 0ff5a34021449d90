// A directory of resource text files for tests, read through verified reads
// that trust the test's author key for plugin files.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "security/trust_store.h"
#include "security/verified_data.h"
#include "support/signing_support.h"
#include "support/test_support.h"
#include "utilities/resource_text_file.h"

namespace Tandro::Utilities {

// Files on disk are read only through a verified read; the fixture trusts
// the test's author key for plugin files.
class ResourceTextFileOnDiskTest : public ::testing::Test {
  protected:
    ResourceTextFileOnDiskTest() { trust_.add(holm::test::authorSigningKey().publicKey()); }

    std::string write(const std::string& name, const std::vector<std::byte>& bytes,
                      bool sign = true) {
        {
            std::ofstream out(dir_.path() / name, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        }
        if (sign) {
            holm::test::signFileWith(dir_.path() / name, holm::test::authorSigningKey());
        }
        return (dir_.path() / name).string();
    }
    ResourceTextFile open(const std::string& path) const {
        return ResourceTextFile(
            holm::security::VerifiedData::open(path, trust_, holm::security::FileRole::Plugin));
    }
    void expectOpenFails(const std::string& path, const char* reasonPart) const {
        try {
            open(path);
            ADD_FAILURE() << "opened " << path;
        } catch (const ResourceFileError& error) {
            EXPECT_NE(std::strstr(error.what(), reasonPart), nullptr) << error.what();
        }
    }
    holm::test::TempDir dir_;
    holm::security::TrustStore trust_;
};

}  // namespace Tandro::Utilities

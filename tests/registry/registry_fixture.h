// A fresh registry store in a temporary directory for each test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "registry/registry.h"
#include "support/test_support.h"

namespace holm::registry::test {

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(Store::open(storeDir(), store_), kErrorSuccess); }

    std::filesystem::path storeDir() const { return temp_.path() / "store"; }
    // The directory of a key of LocalMachine given by its on-disk names.
    std::filesystem::path machineDir(const std::string& relative = "") const {
        return relative.empty() ? storeDir() / "machine" : storeDir() / "machine" / relative;
    }

    Key createKey(std::u16string_view path) {
        Key key;
        EXPECT_EQ(Key::create(store_, Root::LocalMachine, path, key), kErrorSuccess);
        return key;
    }

    static void writeFile(const std::filesystem::path& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }

    holm::test::TempDir temp_;
    Store store_;
};

}  // namespace holm::registry::test

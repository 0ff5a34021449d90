// A fresh registry store in a temporary directory for each test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "registry/registry.h"
#include "support/test_support.h"

namespace holm::registry::test {

// The Windows number of a result's error, kErrorSuccess when it succeeded:
// the number the store's callers hand on is what the tests assert.
template <typename T>
uint32_t errorOf(const platform::Result<T>& result) {
    return result ? kErrorSuccess : result.error().windowsError();
}

using Names = std::vector<std::u16string>;

// Moves a result's value into `out` when it succeeded; gives errorOf().
template <typename T>
uint32_t assign(platform::Result<T> result, T& out) {
    if (!result) {
        return result.error().windowsError();
    }
    out = std::move(*result);
    return kErrorSuccess;
}

// A value, the value names or the subkey names of a key; a failure fails
// the test.
inline Value queried(const Key& key, std::u16string_view name) {
    Value value;
    EXPECT_EQ(assign(key.queryValue(name), value), kErrorSuccess);
    return value;
}

inline Names values(const Key& key) {
    Names names;
    EXPECT_EQ(assign(key.enumerateValues(), names), kErrorSuccess);
    return names;
}

inline Names subkeys(const Key& key) {
    Names names;
    EXPECT_EQ(assign(key.enumerateSubkeys(), names), kErrorSuccess);
    return names;
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(assign(Store::open(storeDir()), store_), kErrorSuccess); }

    std::filesystem::path storeDir() const { return temp_.path() / "store"; }
    // The directory of a key of LocalMachine given by its on-disk names.
    std::filesystem::path machineDir(const std::string& relative = "") const {
        return relative.empty() ? storeDir() / "machine" : storeDir() / "machine" / relative;
    }

    Key createKey(std::u16string_view path) {
        Key key;
        EXPECT_EQ(assign(Key::create(store_, Root::LocalMachine, path), key), kErrorSuccess);
        return key;
    }

    static void writeFile(const std::filesystem::path& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }

    holm::test::TempDir temp_;
    Store store_;
};

}  // namespace holm::registry::test

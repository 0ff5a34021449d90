#include "support/test_support.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

namespace holm::test {

TempDir::TempDir() {
    std::random_device device;
    auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("holm-test-" + std::to_string(device()));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary test directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(const std::string& name, const std::string& content) const {
    auto file = path_ / pathOfUtf8(name);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    return file;
}

std::filesystem::path sourceDir() {
    if (const char* dir = std::getenv("HOLM_TEST_SOURCE_DIR")) {
        return dir;
    }
    return HOLM_SOURCE_DIR;
}

std::string bytesOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string utf16File(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

void setEnvironment(const char* name, const std::string& value) {
    setEnvironment(name, value.c_str());
}

void unsetEnvironment(const char* name) {
    setEnvironment(name, static_cast<const char*>(nullptr));
}

void setEnvironment(const char* name, const std::filesystem::path& value) {
    setEnvironment(name, utf8(value).c_str());
}

}  // namespace holm::test

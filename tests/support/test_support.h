// Helpers shared by the test suites.
#pragma once

#include <filesystem>
#include <string>

namespace holm::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes out of scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes `content` to `name` inside the directory and returns its path.
    std::filesystem::path write(const std::string& name, const std::string& content) const;

  private:
    std::filesystem::path path_;
};

// The repository's source directory (set by CTest; falls back to the
// compile-time location).
std::filesystem::path sourceDir();

}  // namespace holm::test

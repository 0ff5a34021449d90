// The SQLite library on Windows comes from the product directory only, and a
// row handler's processor fault is contained in this process.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "core/sqlite_gate.h"
#include "core/support/host_harness.h"
#include "core/support/sqlite_cases.h"
#include "support/test_support.h"

namespace {

// Makes `directory` the process's current directory while it lives.
class CurrentDirectory {
  public:
    explicit CurrentDirectory(const std::filesystem::path& directory) {
        wchar_t previous[MAX_PATH * 4];
        const DWORD length = ::GetCurrentDirectoryW(MAX_PATH * 4, previous);
        if (length > 0 && length < MAX_PATH * 4) {
            previous_.assign(previous, length);
        }
        changed_ = ::SetCurrentDirectoryW(directory.wstring().c_str()) != 0;
    }
    ~CurrentDirectory() {
        if (!previous_.empty()) {
            ::SetCurrentDirectoryW(previous_.c_str());
        }
    }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

    bool changed() const { return changed_; }

  private:
    std::wstring previous_;
    bool changed_ = false;
};

// With no file in the product directory, nothing is searched for: not even a
// working, signed sqlite3.dll in the current directory is taken.
TEST(SQLiteWinLibrary, ComesFromTheProductDirectoryOnly) {
    holm::test::TempDir product;
    holm::test::TempDir planted;
    const auto shipped = holm::test::pathOfUtf8(holm::test::productDirectory()) / "sqlite3.dll";
    std::filesystem::copy_file(shipped, planted.path() / "sqlite3.dll");
    std::filesystem::copy_file(holm::test::pathOfUtf8(holm::test::utf8(shipped) + ".sig"),
                               planted.path() / "sqlite3.dll.sig");
    {
        CurrentDirectory current(planted.path());
        ASSERT_TRUE(current.changed());
        EXPECT_FALSE(
            holm::core::loadSQLiteLibrary(holm::test::u16(product.path()) + u"/", u"sqlite3.dll")
                .valid());
    }
    // The same files as the product directory load.
    const auto library =
        holm::core::loadSQLiteLibrary(holm::test::u16(planted.path()) + u"/", u"sqlite3.dll");
    ASSERT_TRUE(library.valid());
    EXPECT_NE(library.symbol("sqlite3_open16"), nullptr);
}

TEST(SQLiteWinPlugin, HandlerThatFaultsFailsOnlyItsQuery) {
    holm::test::expectFailedSQLiteQuery(holm::test::runSQLiteCase("fault"),
                                        "processor fault ACCESS_VIOLATION");
}

}  // namespace

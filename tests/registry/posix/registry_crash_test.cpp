// A writer of the registry store killed at any point leaves every value
// either as it was or as it was being written, never torn, and the store
// opens cleanly afterwards (its sweep removes what the writer left behind).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "registry/registry.h"
#include "registry/registry_fixture.h"
#include "support/crash_writer.h"

namespace holm::registry::test {
namespace {

namespace fs = std::filesystem;

constexpr std::u16string_view kKeyPath = u"SOFTWARE\\Crash";
constexpr std::u16string_view kValueName = u"Setting";

// Large enough to take several writes and pages, and every part of it names
// its step, so that a value mixed from two writes is seen.
std::u16string contentOf(uint64_t step) {
    std::u16string mark = u"<";
    for (char digit : std::to_string(step)) {
        mark += static_cast<char16_t>(digit);
    }
    mark += u'>';
    std::u16string content;
    while (content.size() < 20000) {
        content += mark;
    }
    return content;
}

class RegistryCrashTest : public RegistryTest {};

TEST_F(RegistryCrashTest, AKilledWriterLeavesTheOldOrTheNewValue) {
    Key key = createKey(kKeyPath);
    ASSERT_EQ(errorOf(key.setValue(kValueName, makeString(contentOf(0)))), kErrorSuccess);

    const auto write = [&](uint64_t step) {
        return errorOf(key.setValue(kValueName, makeString(contentOf(step + 1)))) == kErrorSuccess;
    };
    const auto check = [&](uint64_t completed) {
        Store reopened;
        ASSERT_EQ(assign(Store::open(storeDir()), reopened), kErrorSuccess);
        Key readBack;
        ASSERT_EQ(assign(Key::open(reopened, Root::LocalMachine, kKeyPath), readBack),
                  kErrorSuccess);
        Value value;
        ASSERT_EQ(assign(readBack.queryValue(kValueName), value), kErrorSuccess);
        const auto content = readString(value);
        ASSERT_TRUE(content.has_value());
        // `completed` writes finished; the one after may have been renamed
        // into place just before the kill.
        EXPECT_TRUE(*content == contentOf(completed) || *content == contentOf(completed + 1))
            << "torn or lost value after " << completed << " writes";
        EXPECT_TRUE(fs::is_empty(storeDir() / ".tmp")) << "leftovers not swept";
    };
    holm::test::killWriterAtRandomPoints(write, check, {.runs = 50});
}

}  // namespace
}  // namespace holm::registry::test

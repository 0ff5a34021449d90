// The record of loaded modules: references counted per module, the first
// value kept, and the value handed back exactly when the caller must release
// it (a spare file handle, the last reference's file).
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/module_record.h"

namespace holm::platform {
namespace {

TEST(ModuleRecordTest, KeepsTheFirstValueAndHandsBackEachSpareOne) {
    ModuleRecord<int, std::string> record;
    EXPECT_EQ(record.add(7, "first"), std::nullopt);
    EXPECT_EQ(record.add(7, "second"), std::optional<std::string>("second"));
    EXPECT_EQ(record.find(7), std::optional<std::string>("first"));
    EXPECT_EQ(record.find(8), std::nullopt);
}

TEST(ModuleRecordTest, OnlyTheLastReleaseHandsBackTheValue) {
    ModuleRecord<int, std::string> record;
    (void)record.add(1, "file");
    (void)record.add(1, "spare");
    EXPECT_EQ(record.release(1), std::nullopt) << "one reference is left";
    EXPECT_EQ(record.find(1), std::optional<std::string>("file"));
    EXPECT_EQ(record.release(1), std::optional<std::string>("file"));
    EXPECT_EQ(record.find(1), std::nullopt);
    EXPECT_EQ(record.release(1), std::nullopt) << "an unknown module has nothing to release";
}

TEST(ModuleRecordTest, AModuleStillMappedKeepsItsEntryForTheNextReference) {
    ModuleRecord<std::string, std::string> record;
    (void)record.add("/proc/self/fd/3", "/opt/plugin.so");
    EXPECT_EQ(record.release("/proc/self/fd/3", true), std::nullopt);
    EXPECT_EQ(record.find("/proc/self/fd/3"), std::optional<std::string>("/opt/plugin.so"));
    // Loaded again: counted from the kept entry, whose value stays.
    EXPECT_EQ(record.add("/proc/self/fd/3", "/elsewhere.so"),
              std::optional<std::string>("/elsewhere.so"));
    EXPECT_EQ(record.release("/proc/self/fd/3"), std::optional<std::string>("/opt/plugin.so"));
}

}  // namespace
}  // namespace holm::platform

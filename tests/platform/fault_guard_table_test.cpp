// The table of per-thread fault guards: each thread finds its own guard, a
// guard handed back by an ended thread serves the next one, and a full table
// refuses without losing the guards it has. (Tables are static: the guards
// are never freed and must stay reachable.)
#include <atomic>
#include <functional>

#include <gtest/gtest.h>

#include "platform/fault_guard_table.h"

namespace holm::platform {
namespace {

struct TestGuard {
    std::atomic<int> owner{0};
    void* active = nullptr;
};

using TestTable = FaultGuardTable<TestGuard, std::equal_to<int>>;

TEST(FaultGuardTableTest, EachThreadFindsItsOwnGuardAndAnEndedThreadsGuardIsReused) {
    static TestTable table;
    TestGuard* first = table.claim(1);
    TestGuard* second = table.claim(2);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(table.find(1), first);
    EXPECT_EQ(table.find(2), second);
    EXPECT_EQ(table.find(3), nullptr);

    int armed = 0;
    first->active = &armed;
    TestTable::release(*first);
    EXPECT_EQ(first->active, nullptr) << "a handed-back guard is disarmed";
    EXPECT_EQ(table.find(1), nullptr);
    EXPECT_EQ(table.claim(3), first);
    EXPECT_EQ(table.find(3), first);
    EXPECT_EQ(table.find(2), second);
}

TEST(FaultGuardTableTest, AFullTableGivesNoGuardUntilOneIsHandedBack) {
    static TestTable table;
    for (int thread = 1; thread <= static_cast<int>(kMaxGuardedThreads); ++thread) {
        ASSERT_NE(table.claim(thread), nullptr) << thread;
    }
    const int beyond = static_cast<int>(kMaxGuardedThreads) + 1;
    EXPECT_EQ(table.claim(beyond), nullptr);
    EXPECT_EQ(table.claim(beyond + 1), nullptr);
    EXPECT_EQ(table.find(beyond), nullptr);
    TestGuard* last = table.find(static_cast<int>(kMaxGuardedThreads));
    ASSERT_NE(last, nullptr) << "refusals leave the guards that were handed out";

    TestTable::release(*last);
    EXPECT_EQ(table.claim(beyond), last);
    EXPECT_EQ(table.find(beyond), last);
}

}  // namespace
}  // namespace holm::platform

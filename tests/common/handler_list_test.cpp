// The handler list's protocol for entries that are records (object,
// handler): which entries a removal takes, that every removal waits for a
// call of its handler on another thread, and that a call that throws still
// ends.
#include "common/handler_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

struct Handler {
    int calls = 0;
};

struct Pair {
    const void* object;
    Handler* handler;
    bool operator==(const Pair&) const = default;
};

using PairList = holm::common::HandlerList<Pair>;

TEST(HandlerListEntries, RemovalsTakeTheEntriesTheySayAndAddOnceRefusesEqualOnes) {
    PairList list;
    Handler shared;
    Handler other;
    const int a = 0;
    const int b = 0;
    list.add({&a, &shared});
    list.add({&b, &shared});
    list.add({&b, &other});
    EXPECT_FALSE(list.addOnce({&b, &other}));
    EXPECT_TRUE(list.addOnce({&a, &other}));

    EXPECT_TRUE(list.removeFirst(&shared));  // the pair of object a only
    EXPECT_EQ(list.snapshot(), (std::vector<Pair>{{&b, &shared}, {&b, &other}, {&a, &other}}));
    EXPECT_EQ(list.removeWhere([&](const Pair& pair) { return pair.object == &b; }), 2u);
    EXPECT_EQ(list.snapshot(), (std::vector<Pair>{{&a, &other}}));
    EXPECT_FALSE(list.removeFirst(&shared));
    EXPECT_EQ(list.removeAll(&other), 1u);
    EXPECT_EQ(list.size(), 0u);
}

TEST(HandlerListEntries, EveryRemovalWaitsForACallOnAnotherThreadEvenASecondOne) {
    PairList list;
    Handler handler;
    const int object = 0;
    list.add({&object, &handler});
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<bool> finished = false;
    std::thread caller([&] {
        list.forEach([&](const Pair&) {
            entered.set_value();
            release.get_future().wait();
            finished = true;
        });
    });
    entered.get_future().wait();

    std::atomic<bool> firstDone = false;
    std::atomic<bool> secondDone = false;
    bool finishedAtFirst = false;
    bool finishedAtSecond = false;
    std::thread first([&] {
        (void)list.removeWhere([&](const Pair& pair) { return pair.object == &object; });
        finishedAtFirst = finished;
        firstDone = true;
    });
    ASSERT_TRUE(holm::test::eventually([&] { return list.waitingRemovals() == 1; }));
    // Removed already: the second removal finds nothing, and still must not
    // return while the call runs (its caller may free the handler then).
    std::thread second([&] {
        EXPECT_FALSE(list.removeFirst(&handler));
        finishedAtSecond = finished;
        secondDone = true;
    });
    ASSERT_TRUE(holm::test::eventually([&] { return list.waitingRemovals() == 2; }));
    EXPECT_FALSE(firstDone);
    EXPECT_FALSE(secondDone);
    release.set_value();
    first.join();
    second.join();
    caller.join();
    EXPECT_TRUE(finishedAtFirst);
    EXPECT_TRUE(finishedAtSecond);
}

TEST(HandlerListEntries, ACallThatThrowsEndsAndARemovalAfterItDoesNotWait) {
    holm::common::HandlerList<Handler*> list;
    Handler handler;
    list.add(&handler);
    EXPECT_THROW(list.forEach([](Handler*) { throw std::runtime_error("handler failed"); }),
                 std::runtime_error);
    // Its running call ended: removing from another thread returns.
    std::thread remover([&] { EXPECT_EQ(list.removeAll(&handler), 1u); });
    remover.join();
    EXPECT_FALSE(list.callIfRegistered(&handler, [](Handler* called) { ++called->calls; }));
    EXPECT_EQ(handler.calls, 0);
}

}  // namespace

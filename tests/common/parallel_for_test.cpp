#include "common/parallel_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using holm::common::parallelFor;
using holm::common::parallelForInOrder;

TEST(ParallelFor, CallsEveryIndexExactlyOnceWhateverTheThreadCount) {
    for (size_t threads : {size_t{1}, size_t{3}, size_t{64}}) {
        for (size_t count : {size_t{0}, size_t{1}, size_t{2}, size_t{1000}}) {
            std::vector<std::atomic<int>> seen(count);
            parallelFor(
                count, [&](size_t index) { ++seen[index]; }, threads);
            for (size_t i = 0; i < count; ++i) {
                EXPECT_EQ(seen[i].load(), 1)
                    << "index " << i << " of " << count << ", " << threads << " threads";
            }
        }
    }
}

TEST(ParallelFor, TheFirstExceptionReachesTheCallerAfterEveryThreadFinished) {
    std::atomic<int> running{0};
    std::atomic<int> finished{0};
    EXPECT_THROW(parallelFor(
                     100,
                     [&](size_t index) {
                         ++running;
                         if (index == 10) {
                             --running;
                             throw std::runtime_error("index 10");
                         }
                         ++finished;
                         --running;
                     },
                     4),
                 std::runtime_error);
    EXPECT_EQ(running.load(), 0);  // nothing still runs once the caller has the exception
}

// Results arrive in any order; consumption follows the index order on the
// caller's thread and never sees an index whose production has not returned.
TEST(ParallelForInOrder, ConsumesEveryIndexInOrderOnTheCallerAfterItsProduction) {
    for (size_t threads : {size_t{1}, size_t{2}, size_t{8}}) {
        for (size_t count : {size_t{0}, size_t{1}, size_t{500}}) {
            std::vector<std::atomic<int>> producedTimes(count);
            std::vector<size_t> consumed;
            bool consumedElsewhere = false;
            bool consumedEarly = false;
            const auto caller = std::this_thread::get_id();
            parallelForInOrder(
                count,
                [&](size_t index) {
                    if (index % 7 == 0) {
                        std::this_thread::yield();  // let later indices overtake
                    }
                    ++producedTimes[index];
                },
                [&](size_t index) {
                    consumedElsewhere |= std::this_thread::get_id() != caller;
                    consumedEarly |= producedTimes[index].load() != 1;
                    consumed.push_back(index);
                },
                threads);
            ASSERT_EQ(consumed.size(), count) << threads << " threads";
            for (size_t i = 0; i < count; ++i) {
                EXPECT_EQ(consumed[i], i);
                EXPECT_EQ(producedTimes[i].load(), 1);
            }
            EXPECT_FALSE(consumedElsewhere);
            EXPECT_FALSE(consumedEarly);
        }
    }
}

// A failure on either side stops the pipeline: nothing at or after a failed
// production is consumed, nothing is consumed after a failed consumption, and
// the caller gets the exception once no thread runs any more.
TEST(ParallelForInOrder, AFailureOnEitherSideStopsConsumptionAndReachesTheCaller) {
    std::atomic<int> running{0};
    std::vector<size_t> consumed;
    EXPECT_THROW(parallelForInOrder(
                     200,
                     [&](size_t index) {
                         ++running;
                         const bool fails = index == 50;
                         --running;
                         if (fails) {
                             throw std::runtime_error("production of 50");
                         }
                     },
                     [&](size_t index) { consumed.push_back(index); }, 3),
                 std::runtime_error);
    EXPECT_EQ(running.load(), 0);
    ASSERT_LE(consumed.size(), 50u);
    for (size_t i = 0; i < consumed.size(); ++i) {
        EXPECT_EQ(consumed[i], i);
    }

    consumed.clear();
    EXPECT_THROW(parallelForInOrder(
                     200, [](size_t) {},
                     [&](size_t index) {
                         if (index == 20) {
                             throw std::runtime_error("consumption of 20");
                         }
                         consumed.push_back(index);
                     },
                     3),
                 std::runtime_error);
    EXPECT_EQ(consumed.size(), 20u);
}

}  // namespace

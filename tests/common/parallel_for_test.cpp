#include "common/parallel_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace {

using holm::common::parallelFor;

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

}  // namespace

// An object read without a lock while a writer replaces it (hazard slots).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "common/published.h"

namespace holm::common {
namespace {

// Counts its destructions; a destroyed object's mark is cleared, so a read
// of a freed one shows (and ASan reports it).
struct Tracked {
    explicit Tracked(int value, std::atomic<int>* destroyed = nullptr)
        : value(value), destroyed(destroyed) {}
    ~Tracked() {
        mark = 0;
        if (destroyed != nullptr) {
            ++*destroyed;
        }
    }
    int value;
    std::atomic<int>* destroyed;
    int mark = 0x5A5A;
};

TEST(PublishedTest, AReplacedObjectLivesUntilItsLastReaderEnds) {
    std::atomic<int> destroyed{0};
    Published<Tracked> published(std::make_shared<Tracked>(1, &destroyed));
    {
        auto reader = published.read();
        ASSERT_TRUE(reader.acquired());
        EXPECT_EQ(reader.get()->value, 1);
        published.publish(std::make_shared<Tracked>(2, &destroyed));
        published.reclaim();
        EXPECT_EQ(destroyed, 0) << "destroyed under its reader";
        EXPECT_EQ(reader.get()->mark, 0x5A5A);
        EXPECT_EQ(published.read().get()->value, 2) << "a new reader sees the new object";
    }
    EXPECT_EQ(destroyed, 1) << "the reader's end destroys what it held last";

    published.publish(std::make_shared<Tracked>(3, &destroyed));
    published.reclaim();
    EXPECT_EQ(destroyed, 2) << "with no reader, reclaim destroys it at once";
    EXPECT_EQ(published.share()->value, 3);
}

// Readers nest (a call that re-enters its owner); past the thread's slots a
// reader is not acquired and the owner is read through share().
TEST(PublishedTest, NestedReadersUseTheThreadsSlotsThenTheLockedWay) {
    Published<Tracked> published(std::make_shared<Tracked>(7));
    std::vector<std::optional<Published<Tracked>::Reader>> readers(hazard::kSlotsPerThread + 1);
    for (size_t i = 0; i < hazard::kSlotsPerThread; ++i) {
        readers[i].emplace(published);
        ASSERT_TRUE(readers[i]->acquired());
        EXPECT_EQ(readers[i]->get()->value, 7);
    }
    readers.back().emplace(published);
    EXPECT_FALSE(readers.back()->acquired());
    EXPECT_EQ(readers.back()->get(), nullptr);
    EXPECT_EQ(published.share()->value, 7);

    readers[1].reset();  // a slot given back in the middle is taken again
    readers[1].emplace(published);
    EXPECT_TRUE(readers[1]->acquired());
    readers.clear();
    EXPECT_TRUE(published.read().acquired());
}

// Readers on two threads while the object is replaced again and again:
// every reader sees a whole, living object, and nothing is destroyed twice
// or left behind.
TEST(PublishedTest, ReadersOnOtherThreadsNeverSeeAFreedObject) {
    constexpr int kReplacements = 20000;
    std::atomic<int> destroyed{0};
    {
        Published<Tracked> published(std::make_shared<Tracked>(0, &destroyed));
        std::atomic<bool> done{false};
        std::atomic<int> badReads{0};
        std::array<std::thread, 2> readers;
        for (auto& thread : readers) {
            thread = std::thread([&] {
                int last = 0;
                while (!done.load()) {
                    auto reader = published.read();
                    const Tracked* object = reader.get();
                    if (object->mark != 0x5A5A || object->value < last) {
                        ++badReads;
                    }
                    last = object->value;
                }
            });
        }
        for (int i = 1; i <= kReplacements; ++i) {
            published.publish(std::make_shared<Tracked>(i, &destroyed));
            published.reclaim();
        }
        done = true;
        for (auto& thread : readers) {
            thread.join();
        }
        EXPECT_EQ(badReads, 0);
        published.reclaim();
        EXPECT_EQ(destroyed, kReplacements) << "every replaced object is gone";
    }
    EXPECT_EQ(destroyed, kReplacements + 1);
}

}  // namespace
}  // namespace holm::common

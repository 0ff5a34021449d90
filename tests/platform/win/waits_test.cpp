// The wait set and epoll set over handles: more members than one system
// wait takes, level-triggered reports, wakes, and members that leave by
// removal or by closing their descriptor. Named events: one object per
// folded name, set across handles, with an access list that gives everyone
// waiting and setting only.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/epoll_set.h"
#include "platform/manual_event.h"
#include "platform/named_event.h"
#include "platform/wait_set.h"
#include "platform/win/native.h"
// After <windows.h>.
#include <aclapi.h>

namespace holm::platform {
namespace {

constexpr WaitSet::Key kWake = 1;

WaitSet::Deadline soon() {
    return std::chrono::steady_clock::now() + std::chrono::seconds(30);
}

// Waits until every key of `wanted` was reported (in any number of
// batches) or the deadline passes; the keys seen.
std::set<WaitSet::Key> collect(WaitSet& waits, const std::set<WaitSet::Key>& wanted) {
    std::set<WaitSet::Key> seen;
    const auto deadline = soon();
    while (seen != wanted && std::chrono::steady_clock::now() < deadline) {
        auto ready = waits.wait(deadline);
        if (!ready) {
            break;
        }
        seen.insert(ready->begin(), ready->end());
    }
    return seen;
}

TEST(WinWaitSet, ServesFarMoreThanSixtyFourHandlesAndReportsOnlyTheSignalled) {
    WaitSet waits(kWake);
    ASSERT_TRUE(waits.valid());
    std::vector<std::unique_ptr<ManualEvent>> events;
    for (WaitSet::Key key = 10; key < 10 + 300; ++key) {
        events.push_back(std::make_unique<ManualEvent>());
        ASSERT_TRUE(waits.add(events.back()->descriptor(), key).ok()) << key;
    }
    auto none = waits.wait(std::chrono::steady_clock::now());
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->empty());

    // Members in the first, a middle and the last group of 64.
    const std::set<WaitSet::Key> set{10, 11, 150, 309};
    for (WaitSet::Key key : set) {
        events[key - 10]->set();
    }
    EXPECT_EQ(collect(waits, set), set);

    // Level-triggered: what is still set is reported again, what was reset
    // is not.
    events[0]->reset();
    events[1]->reset();
    std::set<WaitSet::Key> again;
    for (int pass = 0; pass < 2; ++pass) {
        auto ready = waits.wait(soon());
        ASSERT_TRUE(ready.ok());
        again.insert(ready->begin(), ready->end());
    }
    EXPECT_EQ(again, (std::set<WaitSet::Key>{150, 309}));
}

TEST(WinWaitSet, AWakeFromAnotherThreadIsReportedOnce) {
    WaitSet waits(kWake);
    waits.wake();
    waits.wake();
    auto woken = waits.wait(soon());
    ASSERT_TRUE(woken.ok());
    EXPECT_EQ(std::vector<WaitSet::Key>(woken->begin(), woken->end()),
              std::vector<WaitSet::Key>{kWake});
    auto consumed = waits.wait(std::chrono::steady_clock::now());
    ASSERT_TRUE(consumed.ok());
    EXPECT_TRUE(consumed->empty());

    std::thread waker([&] { waits.wake(); });
    auto later = waits.wait();
    waker.join();
    ASSERT_TRUE(later.ok());
    EXPECT_TRUE(containsKey(*later, kWake));
}

TEST(WinWaitSet, RemovedOrClosedMembersAreNotReportedAndRefusalsSayWhy) {
    WaitSet waits(kWake);
    ManualEvent removed;
    ASSERT_TRUE(waits.add(removed.descriptor(), 5).ok());
    EXPECT_EQ(waits.add(removed.descriptor(), 6).error().errnoValue(), EEXIST);
    waits.remove(removed.descriptor());
    removed.set();

    auto closed = std::make_unique<ManualEvent>();
    const int number = closed->descriptor();
    ASSERT_TRUE(waits.add(number, 7).ok());
    closed->set();
    closed.reset();  // closing the descriptor ends the membership
    auto none = waits.wait(std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->empty());

    // The number, reused by a new event, joins as a new member.
    ManualEvent reused;
    ASSERT_EQ(reused.descriptor(), number);
    ASSERT_TRUE(waits.add(reused.descriptor(), 8).ok());
    reused.set();
    EXPECT_EQ(collect(waits, {8}), (std::set<WaitSet::Key>{8}));

    EXPECT_EQ(waits.add(-1, 9).error().errnoValue(), EBADF);
}

TEST(WinEpollSet, ABatchSmallerThanTheSignalledMembersLeavesTheRestForTheNextWait) {
    EpollSet epoll;
    ASSERT_TRUE(epoll.valid());
    std::vector<std::unique_ptr<ManualEvent>> events;
    for (uint64_t key = 0; key < 5; ++key) {
        events.push_back(std::make_unique<ManualEvent>());
        ASSERT_TRUE(epoll.add(events.back()->descriptor(), key));
        events.back()->set();
    }
    std::set<uint64_t> seen;
    const auto deadline = soon();
    while (seen.size() < 5 && std::chrono::steady_clock::now() < deadline) {
        uint64_t ready[2];
        const int count = epoll.wait(ready, deadline);
        ASSERT_GE(count, 0);
        ASSERT_LE(count, 2);
        for (int i = 0; i < count; ++i) {
            seen.insert(ready[i]);
            events[ready[i]]->reset();
        }
    }
    EXPECT_EQ(seen.size(), 5u);
}

TEST(WinNamedEvent, NamesEqualWithCaseFoldedAreOneEventSetFromAnyHandle) {
    const std::string name = namedEventFileName(u"Holm Test Ä/1");
    ASSERT_EQ(namedEventNameOf(name), u"holm test Ä/1");
    EXPECT_EQ(setNamedEvent({}, name), NamedEventSet::NoWatcher);

    auto first = NamedEventWatch::open({}, name);
    ASSERT_TRUE(first.ok()) << first.error().message();
    auto second = NamedEventWatch::open({}, namedEventFileName(u"holm TEST Ä/1"));
    ASSERT_TRUE(second.ok());
    ManualEvent unrelated;

    EXPECT_EQ(setNamedEvent({}, name), NamedEventSet::Set);
    EXPECT_TRUE(::WaitForSingleObject(win::handleOf(second->fd()), 0) == WAIT_OBJECT_0);
    drainNamedEvent(first->fd());
    EXPECT_FALSE(::WaitForSingleObject(win::handleOf(second->fd()), 0) == WAIT_OBJECT_0);
    EXPECT_FALSE(unrelated.isSet());

    // A backslash names a folder of the system's object names: no such
    // event can be made, and the watch says so.
    EXPECT_FALSE(NamedEventWatch::open({}, namedEventFileName(u"no\\such")).ok());
}

TEST(WinNamedEvent, EveryoneMayWaitAndSetButNotChangeTheAccessList) {
    const std::string name = namedEventFileName(u"holm-access-test");
    auto watch = NamedEventWatch::open({}, name);
    ASSERT_TRUE(watch.ok());
    const std::wstring object = L"Global\\holm-access-test";
    HANDLE reader = ::OpenEventW(READ_CONTROL, FALSE, object.c_str());
    ASSERT_NE(reader, nullptr);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetSecurityInfo(reader, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, &descriptor),
              ERROR_SUCCESS);
    ASSERT_NE(dacl, nullptr) << "a null access list lets anyone take the event over";
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ASSERT_TRUE(
        ::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
    ACCESS_MASK granted = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            ::EqualSid(&ace->SidStart, everyone)) {
            granted |= ace->Mask;
        }
    }
    EXPECT_EQ(granted, static_cast<ACCESS_MASK>(SYNCHRONIZE | EVENT_MODIFY_STATE));
    ::FreeSid(everyone);
    ::LocalFree(descriptor);
    ::CloseHandle(reader);
}

}  // namespace
}  // namespace holm::platform

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "utilities/auth_user.h"
#include "utilities/critical_section.h"
#include "utilities/path.h"
#include "utilities/shared_handle.h"
#include "utilities/string_utilities.h"

namespace Tandro::Utilities {
namespace {

TEST(PathTest, CombinePutsExactlyOneSeparatorAndKeepsAbsoluteNames) {
    EXPECT_EQ(Path::Combine(u"/opt/holm", u"libholmcfg.so"), u"/opt/holm/libholmcfg.so");
    EXPECT_EQ(Path::Combine(u"/opt/holm/", u"libholmcfg.so"), u"/opt/holm/libholmcfg.so");
    EXPECT_EQ(Path::Combine(u"/opt/holm//", u"sub/file"), u"/opt/holm/sub/file");
    EXPECT_EQ(Path::Combine(u"/", u"file"), u"/file");
    EXPECT_EQ(Path::Combine(u"relative", u"file"), u"relative/file");
    EXPECT_EQ(Path::Combine(u"/opt/holm", u"/etc/holm/file"), u"/etc/holm/file");
    EXPECT_EQ(Path::Combine(u"", u"file"), u"file");
    EXPECT_EQ(Path::Combine(u"/opt/holm", u""), u"/opt/holm/");
    EXPECT_EQ(Path::NormaliseDirectory(u"/opt/holm//"), u"/opt/holm/");
    EXPECT_EQ(Path::NormaliseDirectory(u"//"), u"/");
    EXPECT_EQ(Path::NormaliseDirectory(u""), u"");
}

TEST(StringUtilitiesTest, TruncateToAsciiKeepsTheLowByteOfEachUnit) {
    EXPECT_EQ(StringUtilities::TruncateToAscii(u"Holm/Gateway/1.0"), "Holm/Gateway/1.0");
    EXPECT_EQ(StringUtilities::TruncateToAscii(u"\u0141\u00ff"), "\x41\xff");
    EXPECT_EQ(StringUtilities::TruncateToAscii(std::u16string_view(u"a\0b", 3)),
              std::string("a\0b", 3));
}

TEST(SharedHandleTest, LocalEventIsUnsetUntilSetAndSharedByCopies) {
    const SharedHandle event = EventAccessControl::CreateLocalEvent(true, false);
    ASSERT_TRUE(event);
    SharedHandle copy = event;
    EXPECT_EQ(copy.get(), event.get());
    EXPECT_FALSE(EventAccessControl::IsEventSet(copy));
    EXPECT_TRUE(EventAccessControl::SetEvent(event));
    EXPECT_TRUE(EventAccessControl::IsEventSet(copy));
    EXPECT_TRUE(EventAccessControl::SetEvent(event));  // setting again keeps it set
    EXPECT_TRUE(EventAccessControl::IsEventSet(event));
    EXPECT_TRUE(EventAccessControl::IsEventSet(EventAccessControl::CreateLocalEvent(true, true)));
}

TEST(SharedHandleTest, AnEmptyHandleIsRefused) {
    const SharedHandle empty;
    EXPECT_EQ(empty.get(), -1);
    EXPECT_FALSE(EventAccessControl::SetEvent(empty));
    EXPECT_FALSE(EventAccessControl::IsEventSet(empty));
}

// The owner takes the section again without waiting. A plain mutex would
// block for good here; the deadline turns that into a failure (the blocked
// thread only holds state it shares ownership of).
TEST(CriticalSectionTest, OwnerTakesItAgain) {
    struct Shared {
        CriticalSection section;
        std::promise<void> done;
    };
    auto shared = std::make_shared<Shared>();
    auto done = shared->done.get_future();
    std::thread([shared] {
        shared->section.Lock();
        shared->section.Lock();
        shared->section.Unlock();
        shared->section.Unlock();
        { std::lock_guard guard(shared->section); }
        shared->done.set_value();
    }).detach();
    EXPECT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

}  // namespace
}  // namespace Tandro::Utilities

namespace {

// Session ids this large are never handed out: no user, no SID.
TEST(AuthUser, UnknownSessionHasNoSid) {
    EXPECT_TRUE(Tandro::Utilities::AuthUser::getSIDFromSession(0xFFFFFFF0u).empty());
}

}  // namespace

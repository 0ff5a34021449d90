// Named events as the system's event objects: set by whoever opens
// "Global\<name>" (another process does the same), names that are no file
// names, and a name the system refuses, whose cause reaches the plugin.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "async/support/async_fixture.h"
#include "platform/errors.h"
#include "platform/spawn.h"
#include "platform/win/native.h"

namespace {

using holm::platform::NamedEventSet;
using holm::test::RecordingHandler;
using Users = std::vector<uintptr_t>;

class EventObjects : public holm::test::AsyncFixture {};

// Sets the event object as another program would: by its name alone.
bool setByName(const wchar_t* object) {
    HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, object);
    if (event == nullptr) {
        return false;
    }
    const bool set = ::SetEvent(event) != 0;
    ::CloseHandle(event);
    return set;
}

TEST_F(EventObjects, AnyOpenerOfTheGlobalNameSetsIt) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    ASSERT_NE(async->watchEvent(u"Update/Ready", 5), nullptr);
    ASSERT_TRUE(setByName(L"Global\\update/ready"));
    EXPECT_EQ(handler.waitFor(1), Users{5});
    // Set again after the delivery (the worker reset it): delivered again.
    ASSERT_TRUE(setByName(L"Global\\update/ready"));
    EXPECT_EQ(handler.waitFor(2), (Users{5, 5}));
    EXPECT_EQ(setEvent(u"nobody watches this"), NamedEventSet::NoWatcher);
}

// Another process sets the event with the operator's tool, the "Global\"
// prefix given and the name in another case; a name nobody watches is
// reported as such.
TEST_F(EventObjects, SetFromAnotherProcessWithTheTool) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    ASSERT_NE(async->watchEvent(u"Update/Ready", 5), nullptr);
    auto set = holm::platform::runProcess({HOLM_EVENT_TOOL, "set", "Global\\update/READY"}, {},
                                          std::chrono::seconds(30));
    ASSERT_EQ(set.exitCode, 0) << set.output;
    EXPECT_EQ(handler.waitFor(1), Users{5});
    auto unwatched = holm::platform::runProcess({HOLM_EVENT_TOOL, "set", "nobody"}, {},
                                                std::chrono::seconds(30));
    EXPECT_EQ(unwatched.exitCode, 1) << unwatched.output;
}

TEST_F(EventObjects, NamesThatAreNoFileNamesAndARefusedName) {
    RecordingHandler handler;
    auto async = makeAsync(&handler);
    EXPECT_EQ(async->watchEvent(std::u16string(121, u'x').c_str(), 1), nullptr);
    ASSERT_NE(async->watchEvent(std::u16string(120, u'%').c_str(), 2), nullptr);
    ASSERT_NE(async->watchEvent(u"../../etc/passwd", 3), nullptr);
    ASSERT_NE(async->watchEvent(u"tab\there\nnewline", 4), nullptr);

    // A backslash would name a folder of the system's objects that does not
    // exist: refused, with the system's reason as the last error.
    holm::platform::setLastError(0);
    EXPECT_EQ(async->watchEvent(u"no\\such", 5), nullptr);
    EXPECT_EQ(holm::platform::lastError(), static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));

    ASSERT_EQ(setEvent(u"../../ETC/passwd"), NamedEventSet::Set);
    ASSERT_EQ(setEvent(u"tab\there\nnewline"), NamedEventSet::Set);
    ASSERT_EQ(setEvent(std::u16string(120, u'%')), NamedEventSet::Set);
    auto users = handler.waitFor(3);
    std::sort(users.begin(), users.end());
    EXPECT_EQ(users, (Users{2, 3, 4}));
}

}  // namespace

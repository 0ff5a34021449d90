// The utilities' behaviour that rests on Windows facilities: the system
// handle behind a shared handle's descriptor, asked of the system itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <utility>

#include "platform/win/native.h"
#include "utilities/shared_handle.h"

namespace Tandro::Utilities {
namespace {

using holm::platform::win::handleOf;

// Whether `handle` is open in this process: the system knows its flags.
bool isOpen(HANDLE handle) {
    DWORD flags = 0;
    return ::GetHandleInformation(handle, &flags) != 0;
}

// The system handle is closed when the last copy goes, not before; it is
// never marked for inheritance, so a child started meanwhile does not get it.
TEST(SharedHandleTest, ClosesWithTheLastOwnerAndIsNotInherited) {
    SharedHandle first = EventAccessControl::CreateLocalEvent(true, false);
    ASSERT_TRUE(first);
    const int fd = first.get();
    const HANDLE handle = handleOf(fd);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD flags = 0;
    ASSERT_NE(::GetHandleInformation(handle, &flags), 0);
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);

    SharedHandle second = first;
    SharedHandle moved = std::move(first);
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): moved-from is empty
    second.reset();
    EXPECT_EQ(handleOf(moved.get()), handle);
    EXPECT_TRUE(isOpen(handle));
    EXPECT_TRUE(EventAccessControl::SetEvent(moved));
    moved.reset();
    EXPECT_EQ(handleOf(fd), INVALID_HANDLE_VALUE) << "the descriptor is free again";
    EXPECT_FALSE(isOpen(handle));
}

}  // namespace
}  // namespace Tandro::Utilities

// Registry key watches over a fresh store: a watch of a key, and waits for
// it to fire.
#pragma once

#include <gtest/gtest.h>

#include <chrono>

#include "platform/io.h"
#include "registry/registry_fixture.h"
#include "registry/registry_watch.h"

namespace holm::registry::test {

inline constexpr auto kDeadline = std::chrono::seconds(10);
inline constexpr uint32_t kNamesAndValues = kNotifyName | kNotifyLastSet;

class RegistryWatchTest : public RegistryTest {
  protected:
    KeyWatch watch(std::u16string_view path, bool subtree, uint32_t filter = kNamesAndValues) {
        KeyWatch created;
        EXPECT_EQ(
            assign(KeyWatch::create(store_, Root::LocalMachine, path, subtree, filter), created),
            kErrorSuccess);
        return created;
    }

    // Waits for the watch to fire, with a deadline.
    static bool fires(KeyWatch& watch) {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (std::chrono::steady_clock::now() < deadline) {
            if (platform::io::waitReadable(watch.fd(), platform::io::deadlineIn(kDeadline))
                    .valueOr(false) &&
                watch.consume()) {
                return true;
            }
        }
        return false;
    }

    // A change is seen by the time the changing call returns (Linux queues
    // it in the call; on Windows consume() also looks at the system's own
    // notification), so a change that was not reported by now will not be.
    static bool firedAlready(KeyWatch& watch) {
        return platform::io::waitReadable(watch.fd(),
                                          platform::io::deadlineIn(std::chrono::milliseconds(0)))
                   .valueOr(false) &&
               watch.consume();
    }
};

}  // namespace holm::registry::test

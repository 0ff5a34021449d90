// The directory watch tests' fixture: a watched directory and a sentinel
// directory whose changes tell that everything before them was handled, and
// a hold that keeps the worker inside a delivery.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "async/support/async_fixture.h"
#include "common/utf16.h"

namespace holm::test {

inline bool has(const std::vector<uintptr_t>& users, uintptr_t user) {
    return std::find(users.begin(), users.end(), user) != users.end();
}

inline size_t countOf(const std::vector<uintptr_t>& users, uintptr_t user) {
    return static_cast<size_t>(std::count(users.begin(), users.end(), user));
}

inline void writeFile(const std::filesystem::path& path, const std::string& text = "x") {
    std::ofstream(path, std::ios::binary) << text;
}

// Holds the worker inside the first delivery of `user` until released, so
// that changes pile up in the kernel meanwhile.
class WorkerHold {
  public:
    WorkerHold(RecordingHandler& handler, uintptr_t user) {
        handler.onEvent = [this, user](HlmPlg::IAsyncEvent* event) {
            if (event->getUserValue() == user && !held_) {
                held_ = true;
                entered_.set_value();
                released_.get_future().wait();
            }
        };
    }
    bool waitEntered() {
        return entered_.get_future().wait_for(std::chrono::seconds(10)) ==
               std::future_status::ready;
    }
    void release() { released_.set_value(); }

  private:
    bool held_ = false;
    std::promise<void> entered_;
    std::promise<void> released_;
};

class Watches : public AsyncFixture {
  protected:
    Watches() {
        std::filesystem::create_directories(watched());
        std::filesystem::create_directories(sentinel());
    }

    std::filesystem::path watched() const { return base_.path() / "watched"; }
    std::filesystem::path sentinel() const { return base_.path() / "sentinel"; }

    HlmPlg::IAsyncEvent* watchDirectory(HlmPlg::IAsync& async, const std::filesystem::path& path,
                                        bool subtree, uintptr_t user) {
        const std::u16string text = holm::common::utf8ToUtf16(path.string());
        return async.watchDirectory(text.c_str(), subtree ? 1 : 0, 0, user);
    }
    HlmPlg::IAsyncEvent* watchFile(HlmPlg::IAsync& async, const std::filesystem::path& path,
                                   uintptr_t user) {
        const std::u16string text = holm::common::utf8ToUtf16(path.string());
        return async.watchFile(text.c_str(), 0, user);
    }

    // Writes a file in the sentinel directory and waits for its `n`th
    // delivery of `user`: every change made before has been handled then.
    bool sync(RecordingHandler& handler, uintptr_t user, size_t n) {
        writeFile(sentinel() / ("s" + std::to_string(n)));
        return handler.waitUntil(
            [&](const std::vector<uintptr_t>& users) { return countOf(users, user) >= n; });
    }
};

}  // namespace holm::test

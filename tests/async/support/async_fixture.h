// A dispatcher over a test gate, a manual clock and a runtime directory of
// its own, plus a handler that records what it is given.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "async/async_impl.h"
#include "async/dispatcher.h"
#include "async/support/manual_clock.h"
#include "async/support/recording_gate.h"
#include "platform/named_event.h"
#include "support/test_support.h"

namespace holm::test {

class RecordingHandler : public HlmPlg::IAsyncHandler {
  public:
    bool onAsyncEvent(HlmPlg::IAsyncEvent* event) override {
        const uintptr_t user = event->getUserValue();
        if (onEvent) {
            onEvent(event);
        }
        std::lock_guard lock(mutex_);
        users_.push_back(user);
        changed_.notify_all();
        return true;
    }

    // Waits (at most 10 s) for `count` deliveries; the user values so far.
    std::vector<uintptr_t> waitFor(size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return users_.size() >= count; });
        return users_;
    }
    // Waits (at most 10 s) until `done` holds for the user values so far.
    bool waitUntil(const std::function<bool(const std::vector<uintptr_t>&)>& done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return done(users_); });
    }
    // How many deliveries carried `user`.
    size_t count(uintptr_t user) {
        std::lock_guard lock(mutex_);
        return static_cast<size_t>(std::count(users_.begin(), users_.end(), user));
    }
    std::vector<uintptr_t> users() {
        std::lock_guard lock(mutex_);
        return users_;
    }

    // Runs inside the callback, before the delivery is recorded.
    std::function<void(HlmPlg::IAsyncEvent*)> onEvent;

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uintptr_t> users_;
};

class AsyncFixture : public ::testing::Test {
  protected:
    AsyncFixture() {
        auto clock = std::make_unique<ManualClock>();
        clock_ = clock.get();
        dispatcher_ = std::make_unique<async::CAsyncImplObjects>(
            gate_, std::move(clock), runtimeDirectory(), registryDirectory());
    }
    ~AsyncFixture() override { dispatcher_.reset(); }

    // Under /dev/shm where there is one: the runtime directory is a tmpfs
    // in production too, and a disk file system makes creating thousands of
    // FIFOs slow.
    std::string runtimeDirectory() const { return (base_.path() / "run").string(); }
    std::filesystem::path registryDirectory() const { return base_.path() / "registry"; }

    std::unique_ptr<async::CAsyncImpl> makeAsync(HlmPlg::IAsyncHandler* handler) {
        auto async = std::make_unique<async::CAsyncImpl>(*dispatcher_, gate_);
        if (handler != nullptr) {
            async->registerHandler(handler);
        }
        return async;
    }

    platform::NamedEventSet setEvent(std::u16string_view name) {
        return platform::setNamedEvent(runtimeDirectory(), platform::namedEventFileName(name));
    }

    // A directory removed with its contents at the end of the test.
    class RuntimeBase {
      public:
        RuntimeBase() {
            const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                                   ? std::filesystem::path("/dev/shm")
                                                   : std::filesystem::temp_directory_path();
            std::random_device random;
            for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
                const auto candidate = base / ("holm-async-" + std::to_string(random()));
                std::error_code error;
                if (std::filesystem::create_directory(candidate, error)) {
                    path_ = candidate;
                }
            }
        }
        ~RuntimeBase() {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
        const std::filesystem::path& path() const { return path_; }

      private:
        std::filesystem::path path_;
    };

    RuntimeBase base_;
    RecordingGate gate_;
    ManualClock* clock_ = nullptr;
    std::unique_ptr<async::CAsyncImplObjects> dispatcher_;
};

}  // namespace holm::test

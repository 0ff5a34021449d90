// A plugin gate for tests of the asynchronous subsystem alone: runs the call,
// catches what it throws and records the place, like the core's boundary
// does (without its fault guard; faults are tested through the core's gate).
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "async/plugin_gate.h"

namespace holm::test {

class RecordingGate final : public async::PluginCallGate {
  public:
    bool call(std::u16string_view place, const HlmPlg::IHandler*,
              async::FunctionRef<void()> body) override {
        try {
            body();
            return true;
        } catch (const std::exception& error) {
            record(std::u16string(place) + u": " + widen(error.what()));
        } catch (...) {
            record(std::u16string(place) + u": non-standard exception");
        }
        return false;
    }

    void logLine(std::u16string_view text) override {
        std::lock_guard lock(mutex_);
        logLines_.emplace_back(text);
    }
    std::vector<std::u16string> logLines() {
        std::lock_guard lock(mutex_);
        return logLines_;
    }

    // Waits (at most 10 s) until `count` reports were made; the reports.
    std::vector<std::u16string> waitForReports(size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return reports_.size() >= count; });
        return reports_;
    }

  private:
    static std::u16string widen(const char* text) {
        std::u16string wide;
        for (; *text != '\0'; ++text) {
            wide.push_back(static_cast<unsigned char>(*text));
        }
        return wide;
    }
    void record(std::u16string report) {
        std::lock_guard lock(mutex_);
        reports_.push_back(std::move(report));
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::u16string> reports_;
    std::vector<std::u16string> logLines_;
};

}  // namespace holm::test

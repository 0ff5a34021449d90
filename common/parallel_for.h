// Runs independent pieces of work on several cores: parallelFor(count, work)
// calls work(i) once for every i in [0, count), on up to `maxThreads` threads
// (the caller's own thread among them), and returns when every call has
// returned. The order in which the calls run is unspecified; a caller that
// needs an order keeps one result per index and walks the results afterwards.
//
// The first exception a call throws is rethrown to the caller once every
// thread has finished; the calls not yet started then do not run. When no
// further thread can be started the caller's thread does the work alone.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace holm::common {

// The number of threads worth running CPU-bound work on: one per core.
inline size_t coreCount() {
    return std::max<size_t>(1, std::thread::hardware_concurrency());
}

template <typename Work>
void parallelFor(size_t count, Work&& work, size_t maxThreads = coreCount()) {
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr firstError;
    std::mutex errorLock;
    const auto drain = [&] {
        for (size_t index = next++; index < count && !failed; index = next++) {
            try {
                work(index);
            } catch (...) {
                const std::lock_guard<std::mutex> hold(errorLock);
                if (!firstError) {
                    firstError = std::current_exception();
                }
                failed = true;
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        const size_t threads = std::min(count, std::max<size_t>(1, maxThreads));
        const size_t helperCount = threads == 0 ? 0 : threads - 1;  // the caller is one
        for (size_t i = 0; i < helperCount; ++i) {
            try {
                helpers.emplace_back(drain);
            } catch (const std::exception&) {
                break;  // no more threads (resources, memory): the others share the rest
            }
        }
        drain();
    }  // joins the helpers
    if (firstError) {
        std::rethrow_exception(firstError);
    }
}

}  // namespace holm::common

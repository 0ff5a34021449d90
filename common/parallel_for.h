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
#include <condition_variable>
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

// A pipeline of the same shape: produce(i) runs once for every i on up to
// `maxThreads` threads in any order, and consume(i) runs on the caller's
// thread in index order, each as soon as produce(i) has returned. Indices are
// handed out in increasing order, so the first results come first. While the
// caller waits for a result it produces the next unclaimed one itself.
//
// The first exception produce or consume throws is rethrown to the caller
// once every thread has finished; nothing is consumed after it.
template <typename Produce, typename Consume>
void parallelForInOrder(size_t count, Produce&& produce, Consume&& consume,
                        size_t maxThreads = coreCount()) {
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr firstError;
    std::mutex lock;  // guards produced and firstError
    std::condition_variable producedOne;
    std::vector<bool> produced(count, false);
    const auto fail = [&](std::exception_ptr error) {
        {
            const std::lock_guard<std::mutex> hold(lock);
            if (!firstError) {
                firstError = std::move(error);
            }
            failed = true;
        }
        producedOne.notify_all();
    };
    const auto produceOne = [&](size_t index) {
        try {
            produce(index);
        } catch (...) {
            fail(std::current_exception());
            return;
        }
        {
            const std::lock_guard<std::mutex> hold(lock);
            produced[index] = true;
        }
        producedOne.notify_all();
    };
    // Claims and produces the next index; false when none is left.
    const auto produceNext = [&] {
        const size_t index = next++;
        if (index >= count || failed) {
            return false;
        }
        produceOne(index);
        return true;
    };
    const auto awaitProduced = [&](size_t index) {
        for (;;) {
            {
                const std::lock_guard<std::mutex> hold(lock);
                if (produced[index] || failed) {
                    return !failed;
                }
            }
            if (!produceNext()) {
                std::unique_lock<std::mutex> hold(lock);
                producedOne.wait(hold, [&] { return produced[index] || failed.load(); });
                return !failed;
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        const size_t threads = std::min(count, std::max<size_t>(1, maxThreads));
        for (size_t i = 0; i + 1 < threads; ++i) {  // the caller is one
            try {
                helpers.emplace_back([&] {
                    while (produceNext()) {
                    }
                });
            } catch (const std::exception&) {
                break;  // no more threads (resources, memory): the caller produces the rest
            }
        }
        for (size_t index = 0; index < count && awaitProduced(index); ++index) {
            try {
                consume(index);
            } catch (...) {
                fail(std::current_exception());
            }
        }
    }  // joins the helpers
    if (firstError) {
        std::rethrow_exception(firstError);
    }
}

}  // namespace holm::common

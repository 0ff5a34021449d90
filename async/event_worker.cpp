#include "async/event_worker.h"

#include <array>
#include <vector>

#include "platform/epoll_set.h"
#include "platform/errors.h"
#include "platform/named_event.h"

namespace holm::async {

namespace {

const std::string& fileNameOf(const CHlmPlgAsyncElem& element) {
    return static_cast<const CHlmPlgAsyncElemEvent&>(element).fileName;
}
}  // namespace

CAsyncImplObjectEvent::CAsyncImplObjectEvent(PluginCallGate& gate, ElementLifetimes& lifetimes,
                                             std::string runtimeDirectory)
    : CAsyncImplObject(gate, lifetimes), runtimeDirectory_(std::move(runtimeDirectory)) {}

CAsyncImplObjectEvent::~CAsyncImplObjectEvent() {
    stopThread();
}

bool CAsyncImplObjectEvent::attach(CHlmPlgAsyncElem& element) {
    const std::string& fileName = fileNameOf(element);
    std::lock_guard lock(watchLock_);
    auto found = watches_.find(fileName);
    if (found != watches_.end()) {
        ++found->second.users;
        return true;
    }
    platform::NamedEventWatch fifo = platform::NamedEventWatch::open(runtimeDirectory_, fileName);
    if (!fifo.valid()) {
        // Descriptors, FIFOs (a full runtime file system) or trust: the
        // last error says which.
        platform::setLastError(platform::windowsErrorFromErrno(errno));
        return false;
    }
    const uint64_t id = nextWatchId_++;
    watches_.emplace(fileName, Watch{id, std::move(fifo), 1});
    namesById_.emplace(id, fileName);
    unsynced_.push_back(id);
    return true;
}

void CAsyncImplObjectEvent::detach(CHlmPlgAsyncElem& element) {
    std::lock_guard lock(watchLock_);
    auto found = watches_.find(fileNameOf(element));
    if (found != watches_.end() && --found->second.users == 0) {
        namesById_.erase(found->second.id);
        watches_.erase(found);
    }
}

size_t CAsyncImplObjectEvent::watchCount() {
    std::lock_guard lock(watchLock_);
    return watches_.size();
}

uint32_t CAsyncImplObjectEvent::run(HlmPlg::IStopEvent* stop) {
    markDispatcherThread();
    platform::EpollSet epoll;
    if (!epoll.valid() || !epoll.add(stop->getDescriptor(), kStopKey) ||
        !epoll.add(wake_.descriptor(), kWakeKey)) {
        return 1;  // a worker that cannot wait ends; its elements stay registered
    }
    {
        // A new run has a new set: every open watch joins it.
        std::lock_guard lock(watchLock_);
        unsynced_.clear();
        for (const auto& [id, name] : namesById_) {
            unsynced_.push_back(id);
        }
    }
    bool sync = true;
    std::array<uint64_t, 64> ready{};
    std::vector<std::string> fired;
    for (;;) {
        if (sync) {
            std::lock_guard lock(watchLock_);
            if (stop->isSet()) {
                return 0;  // the watches opened meanwhile are the next run's
            }
            // Reset before looking: a change made after this sets it again.
            wake_.reset();
            addUnsynced(epoll);
            sync = false;
        }
        const int count = epoll.wait(ready);
        if (count < 0) {
            return 1;
        }
        if (stopIsReady(ready, count)) {
            return 0;  // before anything is drained: it is left to the next run
        }
        fired.clear();
        {
            std::lock_guard lock(watchLock_);
            for (int i = 0; i < count; ++i) {
                const uint64_t key = ready[static_cast<size_t>(i)];
                if (key == kWakeKey) {
                    sync = true;
                    continue;
                }
                auto named = namesById_.find(key);
                if (named != namesById_.end()) {
                    platform::drainNamedEvent(watches_.at(named->second).fifo.fd());
                    fired.push_back(named->second);
                }
            }
        }
        for (const std::string& fileName : fired) {
            fire(fileName);
        }
    }
}

// Adds the watches opened since the last look. One the kernel refuses
// (limits) stays pending and is tried again at the next wake; a watch closed
// meanwhile is skipped (closing its descriptor left the set by itself).
void CAsyncImplObjectEvent::addUnsynced(platform::EpollSet& epoll) {
    std::vector<uint64_t> refused;
    for (uint64_t id : unsynced_) {
        auto named = namesById_.find(id);
        if (named != namesById_.end() && !epoll.add(watches_.at(named->second).fifo.fd(), id)) {
            refused.push_back(id);
        }
    }
    unsynced_.swap(refused);
}

void CAsyncImplObjectEvent::fire(const std::string& fileName) {
    deliverAll(selectForDelivery(
        [&](const CHlmPlgAsyncElem& element) { return fileNameOf(element) == fileName; }));
}

}  // namespace holm::async

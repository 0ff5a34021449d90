#include "async/event_worker.h"

#include <optional>
#include <vector>

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

platform::Status CAsyncImplObjectEvent::attach(CHlmPlgAsyncElem& element) {
    const std::string& fileName = fileNameOf(element);
    common::MutexLock lock(watchLock_);
    auto found = watches_.find(fileName);
    if (found != watches_.end()) {
        ++found->second.users;
        return {};
    }
    auto fifo = platform::NamedEventWatch::open(runtimeDirectory_, fileName);
    if (!fifo) {
        // Descriptors, FIFOs (a full runtime file system) or trust: the
        // error says which.
        return fifo.error();
    }
    const uint64_t id = nextWatchId_++;
    watches_.emplace(fileName, Watch{id, std::move(fifo).value(), 1});
    namesById_.emplace(id, fileName);
    unsynced_.push_back(id);
    return {};
}

void CAsyncImplObjectEvent::detach(CHlmPlgAsyncElem& element) {
    common::MutexLock lock(watchLock_);
    auto found = watches_.find(fileNameOf(element));
    if (found != watches_.end() && --found->second.users == 0) {
        namesById_.erase(found->second.id);
        watches_.erase(found);
    }
}

// One run: the FIFOs join its set when the loop is woken, and each that is
// ready is drained and fired.
class CAsyncImplObjectEvent::Run final : public WaitLoopRun {
  public:
    explicit Run(CAsyncImplObjectEvent& worker) : worker_(worker) {}

    bool begin(platform::WaitSet& waits) override {
        (void)waits;
        // A new run has a new set: every open watch joins it.
        common::MutexLock lock(worker_.watchLock_);
        worker_.unsynced_.clear();
        for (const auto& [id, name] : worker_.namesById_) {
            worker_.unsynced_.push_back(id);
        }
        return true;
    }

    std::optional<Deadline> beforeWait(platform::WaitSet& waits, bool woken,
                                       HlmPlg::IStopEvent& stop) override {
        if (woken) {
            common::MutexLock lock(worker_.watchLock_);
            if (stop.isSet()) {
                return std::nullopt;  // the watches opened meanwhile are the next run's
            }
            worker_.addUnsynced(waits);
        }
        return Deadline::max();
    }

    bool handle(Keys ready, bool woken) override {
        (void)woken;
        fired_.clear();
        {
            common::MutexLock lock(worker_.watchLock_);
            for (const uint64_t key : ready) {
                auto named = worker_.namesById_.find(key);
                if (named != worker_.namesById_.end()) {
                    platform::drainNamedEvent(worker_.watches_.at(named->second).fifo.fd());
                    fired_.push_back(named->second);
                }
            }
        }
        for (const std::string& fileName : fired_) {
            worker_.fire(fileName);
        }
        return true;
    }

  private:
    CAsyncImplObjectEvent& worker_;
    std::vector<std::string> fired_;
};

uint32_t CAsyncImplObjectEvent::run(HlmPlg::IStopEvent* stop) {
    Run run(*this);
    return waitLoop(*stop, run);
}

// Adds the watches opened since the last look. One the kernel refuses
// (limits) stays pending and is tried again at the next wake; a watch closed
// meanwhile is skipped (closing its descriptor left the set by itself).
void CAsyncImplObjectEvent::addUnsynced(platform::WaitSet& waits) {
    std::vector<uint64_t> refused;
    for (uint64_t id : unsynced_) {
        auto named = namesById_.find(id);
        if (named != namesById_.end() &&
            !waits.add(watches_.at(named->second).fifo.fd(), id).ok()) {
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

// The event worker ("AsyncEventThread"): watchEvent (kind 1) elements. One
// watch per canonical name (names equal with A-Z folded share one), each a
// FIFO of this watcher in the runtime directory (other processes watching
// the same name have their own), all in the run's wait set with the stop
// and wake sources (one epoll instance): no limit of 64 handles, and waking
// costs the same for 10 or 10,000 names.
//
// The FIFO is opened when the first element of its name registers, on the
// registering thread: once watchEvent has returned, a set is never lost,
// even before the worker has looked at its list again. A FIFO that cannot be
// opened (descriptor limit, an untrusted file or directory in its place)
// makes the registration fail. The last element of a name to go closes it.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "async/worker.h"
#include "common/mutex.h"
#include "platform/named_event.h"
#include "platform/wait_set.h"

namespace holm::async {

class CAsyncImplObjectEvent final : public CAsyncImplObject {
  public:
    CAsyncImplObjectEvent(PluginCallGate& gate, ElementLifetimes& lifetimes,
                          std::string runtimeDirectory);
    ~CAsyncImplObjectEvent() override;

    const char16_t* getThreadName() override { return u"AsyncEventThread"; }
    uint32_t run(HlmPlg::IStopEvent* stop) override;

  protected:
    platform::Status attach(CHlmPlgAsyncElem& element) override EXCLUDES(watchLock_);
    void detach(CHlmPlgAsyncElem& element) override EXCLUDES(watchLock_);

  private:
    struct Watch {
        uint64_t id;
        platform::NamedEventWatch fifo;
        size_t users;
    };
    // One run of the wait loop.
    class Run;
    void addUnsynced(platform::WaitSet& waits) REQUIRES(watchLock_);
    void fire(const std::string& fileName);

    const std::string runtimeDirectory_;
    common::Mutex watchLock_;
    std::unordered_map<std::string, Watch> watches_ GUARDED_BY(watchLock_);
    std::unordered_map<uint64_t, std::string> namesById_ GUARDED_BY(watchLock_);
    // Watches opened since the running loop last looked.
    std::vector<uint64_t> unsynced_ GUARDED_BY(watchLock_);
    // 0 and 1 are the stop and wake keys.
    uint64_t nextWatchId_ GUARDED_BY(watchLock_) = 2;
};

}  // namespace holm::async

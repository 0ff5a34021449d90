// CThreadImpl, the IThread (id 13) of plugins and of the dispatcher's
// workers: one thread whose body is an IThreadHandler, started and stopped
// synchronously.
//
// The body runs through the plugin gate under the place name
// "IThread(<thread name>)::run": an exception or a fault in it is reported
// and the thread ends normally. A body that returned leaves the thread held
// (start refuses) until stop collects it.
//
// Threading: start and stop are meant to be called by one owner thread.
// stop from the thread's own run returns false instead of waiting for
// itself. The object may be destroyed from its own run (a plugin releasing
// the IThread from inside its body): the thread is then left to end on its
// own, touching nothing of the object.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "async/plugin_gate.h"
#include "common/mutex.h"
#include "hlmplg/thread.h"

namespace holm::async {

class CThreadImpl final : public HlmPlg::IThread {
  public:
    explicit CThreadImpl(PluginCallGate& gate);
    ~CThreadImpl() override;
    CThreadImpl(const CThreadImpl&) = delete;
    CThreadImpl& operator=(const CThreadImpl&) = delete;

    bool registerHandler(HlmPlg::IHandler* handler) override;
    bool unregisterHandler(HlmPlg::IHandler* handler) override;
    bool start(uint32_t unused) override EXCLUDES(control_);
    bool stop() override EXCLUDES(control_);
    // Sets the stop event without waiting for the body to end; a later
    // stop() collects the thread.
    void requestStop();
    void* getThreadHandle() override EXCLUDES(control_);
    uint32_t getThreadId() override;

  private:
    struct Shared;

    bool onOwnThread() const;

    PluginCallGate& gate_;
    std::atomic<HlmPlg::IThreadHandler*> handler_{nullptr};
    // What the running thread uses; kept alive by the thread as well.
    const std::shared_ptr<Shared> shared_;
    common::Mutex control_;
    std::thread thread_ GUARDED_BY(control_);
};

}  // namespace holm::async

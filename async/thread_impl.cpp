#include "async/thread_impl.h"

#include <string>
#include <system_error>

#include "platform/fault_guard.h"
#include "platform/manual_event.h"
#include "platform/process_info.h"

namespace holm::async {

namespace {

// Thread names longer than this are cut in the place name.
constexpr size_t kMaxThreadName = 256;

class StopEvent final : public HlmPlg::IStopEvent {
  public:
    bool isSet() override { return event.isSet(); }
    bool wait(uint32_t milliseconds) override {
        if (milliseconds == HlmPlg::kWaitInfinite) {
            return event.waitUntil(platform::ManualEvent::Deadline::max());
        }
        return event.waitUntil(std::chrono::steady_clock::now() +
                               std::chrono::milliseconds(milliseconds));
    }
    int getDescriptor() override { return event.descriptor(); }

    platform::ManualEvent event;
};

}  // namespace

struct CThreadImpl::Shared {
    StopEvent stop;
    platform::ManualEvent started;
    std::atomic<uint32_t> threadId{0};
    // The running body's thread while it runs, for stop from inside it.
    std::atomic<std::thread::id> bodyThread{};
};

namespace {

std::u16string placeOf(PluginCallGate& gate, HlmPlg::IThreadHandler* handler) {
    const char16_t* name = nullptr;
    (void)gate.call(u"IThreadHandler::getThreadName", handler,
                    [&] { name = handler->getThreadName(); });
    std::u16string place = u"IThread(";
    if (name != nullptr) {
        std::u16string_view text(name);
        place += text.substr(0, kMaxThreadName);
    }
    return place + u")::run";
}

}  // namespace

CThreadImpl::CThreadImpl(PluginCallGate& gate) : gate_(gate), shared_(std::make_shared<Shared>()) {}

CThreadImpl::~CThreadImpl() {
    common::MutexLock lock(control_);
    if (!thread_.joinable()) {
        return;
    }
    shared_->stop.event.set();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // the body keeps `shared_` alive and ends on its own
    } else {
        thread_.join();
    }
}

bool CThreadImpl::registerHandler(HlmPlg::IHandler* handler) {
    auto* threadHandler = dynamic_cast<HlmPlg::IThreadHandler*>(handler);
    if (threadHandler != nullptr) {
        handler_.store(threadHandler);
    }
    return threadHandler != nullptr;
}

bool CThreadImpl::unregisterHandler(HlmPlg::IHandler* handler) {
    if (dynamic_cast<HlmPlg::IThreadHandler*>(handler) == nullptr) {
        return false;
    }
    handler_.store(nullptr);
    return true;
}

bool CThreadImpl::start(uint32_t) {
    HlmPlg::IThreadHandler* handler = handler_.load();
    if (handler == nullptr || onOwnThread()) {
        return false;
    }
    common::MutexLock lock(control_);
    if (thread_.joinable()) {
        return false;
    }
    if (!shared_->stop.event.valid() || !shared_->started.valid()) {
        return false;  // the events could not be created (descriptor limit)
    }
    shared_->stop.event.reset();
    shared_->started.reset();
    try {
        thread_ = std::thread([shared = shared_, &gate = gate_, handler] {
            platform::ensureAlternateSignalStack();
            shared->threadId.store(platform::currentThreadId());
            shared->bodyThread.store(std::this_thread::get_id());
            const std::u16string place = placeOf(gate, handler);
            shared->started.set();
            (void)gate.call(place, handler, [&] { (void)handler->run(&shared->stop); });
            shared->bodyThread.store(std::thread::id());
        });
    } catch (const std::system_error&) {
        return false;
    }
    (void)shared_->started.waitUntil(platform::ManualEvent::Deadline::max());
    return true;
}

bool CThreadImpl::stop() {
    if (onOwnThread()) {
        return false;
    }
    common::MutexLock lock(control_);
    if (!thread_.joinable()) {
        return false;
    }
    shared_->stop.event.set();
    thread_.join();
    shared_->threadId.store(0);
    return true;
}

void CThreadImpl::requestStop() {
    shared_->stop.event.set();
}

void* CThreadImpl::getThreadHandle() {
    common::MutexLock lock(control_);
    return thread_.joinable() ? reinterpret_cast<void*>(thread_.native_handle()) : nullptr;
}

uint32_t CThreadImpl::getThreadId() {
    return shared_->threadId.load();
}

bool CThreadImpl::onOwnThread() const {
    return shared_->bodyThread.load() == std::this_thread::get_id();
}

}  // namespace holm::async

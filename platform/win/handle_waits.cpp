#include "platform/win/handle_waits.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace holm::platform::win {

// One membership of a handle in a set.
struct HandleWaitMember {
    HandleWaits::State* state = nullptr;
    int fd = -1;
    HANDLE handle = nullptr;
    uint64_t key = 0;
    PTP_WAIT wait = nullptr;
    // Set (under the state's lock) when the membership ends: its callback
    // then reports nothing and nothing arms it again.
    bool ended = false;
};

namespace {

using Member = HandleWaitMember;

// Every membership by handle, so that closing a descriptor ends them. Its
// lock is taken before a state's lock, and is held while a membership ends
// (until the pool's callbacks for it are over), so a set never goes away
// under a callback that is still looking at it.
struct Memberships {
    std::mutex lock;
    std::unordered_multimap<HANDLE, Member*> byHandle;
    std::atomic<size_t> count{0};
};

Memberships& memberships() {
    static Memberships* instance = new Memberships;  // lives until the process ends
    return *instance;
}

}  // namespace

struct HandleWaits::State {
    std::mutex lock;
    std::condition_variable signalled;
    // Changed with both the memberships' lock and this one held.
    std::unordered_map<int, std::unique_ptr<HandleWaitMember>> members;
    // Signalled, not reported yet (their waits are not armed).
    std::deque<HandleWaitMember*> fired;
    // Reported by the last wait: looked at again by the next.
    std::vector<HandleWaitMember*> reported;
    bool posted = false;
    uint64_t postedKey = 0;
};

namespace {

void CALLBACK onSignalled(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WAIT, TP_WAIT_RESULT) {
    auto* member = static_cast<Member*>(context);
    HandleWaits::State& state = *member->state;
    std::lock_guard guard(state.lock);
    if (!member->ended) {
        state.fired.push_back(member);
        state.signalled.notify_one();
    }
}

bool isSignalled(HANDLE handle) {
    return ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

// A member signalled already is queued at once (so that a wait right after
// sees it); any other gets its one-shot wait. The state's lock is held.
void arm(HandleWaits::State& state, Member* member) {
    if (isSignalled(member->handle)) {
        state.fired.push_back(member);
    } else {
        ::SetThreadpoolWait(member->wait, member->handle, nullptr);
    }
}

// Ends a membership; the memberships' lock is held.
void retire(Memberships& all, Member* member) {
    auto [begin, end] = all.byHandle.equal_range(member->handle);
    for (auto it = begin; it != end; ++it) {
        if (it->second == member) {
            all.byHandle.erase(it);
            break;
        }
    }
    --all.count;
    HandleWaits::State& state = *member->state;
    std::unique_ptr<Member> owned;
    {
        std::lock_guard guard(state.lock);
        member->ended = true;
        auto found = state.members.find(member->fd);
        owned = std::move(found->second);
        state.members.erase(found);
        std::erase(state.fired, member);
        std::erase(state.reported, member);
    }
    // Nothing arms it any more: cancel the wait and let a callback that
    // already runs end before the member goes.
    ::SetThreadpoolWait(member->wait, nullptr, nullptr);
    ::WaitForThreadpoolWaitCallbacks(member->wait, TRUE);
    ::CloseThreadpoolWait(member->wait);
}

}  // namespace

HandleWaits::HandleWaits() : state_(std::make_unique<State>()) {}

HandleWaits::~HandleWaits() {
    Memberships& all = memberships();
    std::lock_guard guard(all.lock);
    while (!state_->members.empty()) {
        retire(all, state_->members.begin()->second.get());
    }
}

Status HandleWaits::add(int fd, uint64_t key) {
    HANDLE handle = handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        return Error::fromErrno(EBADF);
    }
    const HandleKind kind = kindOf(fd);
    if (kind == HandleKind::File || kind == HandleKind::Directory || kind == HandleKind::Pipe) {
        return Error::fromErrno(EPERM);
    }
    auto member = std::make_unique<Member>();
    member->state = state_.get();
    member->fd = fd;
    member->handle = handle;
    member->key = key;
    Memberships& all = memberships();
    std::lock_guard guard(all.lock);
    if (state_->members.contains(fd)) {
        return Error::fromErrno(EEXIST);
    }
    member->wait = ::CreateThreadpoolWait(onSignalled, member.get(), nullptr);
    if (member->wait == nullptr) {
        return lastWin32Error();
    }
    Member* added = member.get();
    all.byHandle.emplace(handle, added);
    ++all.count;
    std::lock_guard lock(state_->lock);
    state_->members.emplace(fd, std::move(member));
    arm(*state_, added);
    if (!state_->fired.empty()) {
        state_->signalled.notify_one();
    }
    return {};
}

void HandleWaits::remove(int fd) {
    Memberships& all = memberships();
    std::lock_guard guard(all.lock);
    auto found = state_->members.find(fd);
    if (found != state_->members.end()) {
        retire(all, found->second.get());
    }
}

void HandleWaits::post(uint64_t key) {
    std::lock_guard guard(state_->lock);
    state_->posted = true;
    state_->postedKey = key;
    state_->signalled.notify_one();
}

size_t HandleWaits::wait(std::span<uint64_t> ready, Deadline deadline) {
    State& state = *state_;
    std::unique_lock lock(state.lock);
    // What the last wait reported and is still signalled comes first; the
    // rest wait again.
    std::vector<Member*> again;
    for (Member* member : state.reported) {
        if (isSignalled(member->handle)) {
            again.push_back(member);
        } else {
            ::SetThreadpoolWait(member->wait, member->handle, nullptr);
        }
    }
    state.reported.clear();
    state.fired.insert(state.fired.begin(), again.begin(), again.end());
    for (;;) {
        size_t count = 0;
        if (state.posted && count < ready.size()) {
            ready[count++] = state.postedKey;
            state.posted = false;
        }
        while (count < ready.size() && !state.fired.empty()) {
            Member* member = state.fired.front();
            state.fired.pop_front();
            ready[count++] = member->key;
            state.reported.push_back(member);
        }
        if (count > 0) {
            return count;
        }
        if (deadline == Deadline::max()) {
            state.signalled.wait(lock);
        } else if (std::chrono::steady_clock::now() >= deadline) {
            return 0;
        } else {
            state.signalled.wait_until(lock, deadline);
        }
    }
}

void endWaitsOn(HANDLE handle) {
    Memberships& all = memberships();
    if (all.count.load() == 0) {
        return;
    }
    std::lock_guard guard(all.lock);
    for (auto found = all.byHandle.find(handle); found != all.byHandle.end();
         found = all.byHandle.find(handle)) {
        retire(all, found->second);
    }
}

}  // namespace holm::platform::win

// Registry key watches over RegNotifyChangeKeyValue.
//
// Each watch holds its own handle of the key and an event the system sets
// on a change; a thread-pool wait on that event notes the watch as
// signalled and sets the set's event, the one descriptor its users wait on.
// The system's notification is one-shot: consume() asks for the next one at
// once, so nothing between two changes is missed, and keeps the set's own
// armed/pending state as the header describes. consume() also looks at the
// events themselves, so that what changed before it is taken in although the
// thread-pool wait may not have run yet.
//
// A key's deletion does not reach a notification on the key itself on
// every system (Wine's does not signal it), so each watch also has a watch
// of its parent's subkey names, shared by the watches of one parent: when it
// fires, the parent's watched children are asked whether they still exist,
// and one that is gone fires as deleted (its watch is no longer intact).
#include "registry/registry_watch.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "common/utf16.h"
#include "platform/manual_event.h"
#include "registry/win/registry_internal.h"

namespace holm::registry {

struct KeyWatchSet::System {
    struct Watch {
        System* system = nullptr;
        uint64_t id = 0;
        detail::UniqueHkey key;
        HANDLE event = nullptr;
        PTP_WAIT wait = nullptr;
        bool subtree = false;
        DWORD filter = 0;
        bool armed = true;
        bool pending = false;
        bool intact = true;
        bool ended = false;
        // A watch of a parent's names: its children by id, and its key.
        std::vector<uint64_t> children;
        std::u16string parentName;
        bool isParent = false;
    };

    ~System();
    bool renew(Watch& watch);
    static void release(std::unique_ptr<Watch> watch);

    mutable std::mutex lock;
    platform::ManualEvent signal;
    std::unordered_map<uint64_t, std::unique_ptr<Watch>> watches;
    // Parent watches by root and folded path of the parent.
    std::unordered_map<std::u16string, std::unique_ptr<Watch>> parents;
    // Signalled by the system since the last consume().
    std::vector<uint64_t> signalled;
    std::vector<Watch*> signalledParents;
    // Re-armed with a change pending.
    std::vector<uint64_t> rearmed;
    uint64_t nextId = 1;
};

namespace {

using Watch = KeyWatchSet::System::Watch;

bool eventSet(HANDLE event) {
    return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// Notes `watch` as signalled once (the caller holds the set's lock).
void noteSignalled(Watch& watch) {
    auto& system = *watch.system;
    if (watch.isParent) {
        if (std::find(system.signalledParents.begin(), system.signalledParents.end(), &watch) ==
            system.signalledParents.end()) {
            system.signalledParents.push_back(&watch);
        }
    } else if (std::find(system.signalled.begin(), system.signalled.end(), watch.id) ==
               system.signalled.end()) {
        system.signalled.push_back(watch.id);
    }
}

// The thread-pool wait's callback. A firing that consume() already took in
// (and whose notification it asked for again, which resets the event) is
// passed over.
void CALLBACK onKeyChanged(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WAIT, TP_WAIT_RESULT) {
    auto& watch = *static_cast<Watch*>(context);
    std::lock_guard guard(watch.system->lock);
    if (!watch.ended && eventSet(watch.event)) {
        noteSignalled(watch);
        watch.system->signal.set();
    }
}

DWORD notifyFilter(uint32_t filter) {
    DWORD bits = 0;
    if (filter & kNotifyName) {
        bits |= REG_NOTIFY_CHANGE_NAME;
    }
    if (filter & kNotifyAttributes) {
        bits |= REG_NOTIFY_CHANGE_ATTRIBUTES;
    }
    if (filter & kNotifyLastSet) {
        bits |= REG_NOTIFY_CHANGE_LAST_SET;
    }
    if (filter & kNotifySecurity) {
        bits |= REG_NOTIFY_CHANGE_SECURITY;
    }
    return bits;
}

bool keyDeleted(HKEY key) {
    return ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr) == ERROR_KEY_DELETED;
}

// The path of the key above `path` (the root's own: empty).
std::u16string_view parentPathOf(std::u16string_view path) {
    const size_t separator = path.rfind(u'\\');
    return separator == std::u16string_view::npos ? std::u16string_view()
                                                  : path.substr(0, separator);
}

// A watch's own handle of `opened`, its event and its thread-pool wait.
platform::Result<std::unique_ptr<Watch>> makeWatch(KeyWatchSet::System* system, HKEY opened) {
    auto watch = std::make_unique<Watch>();
    watch->system = system;
    // A handle of its own: the key stays watched whatever its opener does.
    HKEY own = nullptr;
    if (const LSTATUS status = ::RegOpenKeyExW(opened, L"", 0, KEY_NOTIFY | KEY_QUERY_VALUE, &own);
        status != ERROR_SUCCESS) {
        return detail::registryFailure(status);
    }
    watch->key.reset(own);
    watch->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (watch->event != nullptr) {
        watch->wait = ::CreateThreadpoolWait(onKeyChanged, watch.get(), nullptr);
    }
    if (watch->event == nullptr || watch->wait == nullptr) {
        const DWORD failure = ::GetLastError();
        KeyWatchSet::System::release(std::move(watch));
        return platform::Error::windows(failure);
    }
    return watch;
}

}  // namespace

// Asks the system for the next change of the key and waits for its event.
// False when the key is gone (or can no longer be watched).
bool KeyWatchSet::System::renew(Watch& watch) {
    ::ResetEvent(watch.event);
    if (::RegNotifyChangeKeyValue(watch.key.get(), watch.subtree ? TRUE : FALSE, watch.filter,
                                  watch.event, TRUE) != ERROR_SUCCESS) {
        return false;
    }
    ::SetThreadpoolWait(watch.wait, watch.event, nullptr);
    return true;
}

// A watch out of the table: its wait is cancelled and a callback that runs
// has ended before the key, event and wait go.
void KeyWatchSet::System::release(std::unique_ptr<Watch> watch) {
    if (watch->wait != nullptr) {
        ::SetThreadpoolWait(watch->wait, nullptr, nullptr);
        ::WaitForThreadpoolWaitCallbacks(watch->wait, TRUE);
        ::CloseThreadpoolWait(watch->wait);
    }
    watch->key.reset();
    if (watch->event != nullptr) {
        ::CloseHandle(watch->event);
    }
}

KeyWatchSet::System::~System() {
    std::vector<std::unique_ptr<Watch>> left;
    {
        std::lock_guard guard(lock);
        for (auto& [id, watch] : watches) {
            watch->ended = true;
            left.push_back(std::move(watch));
        }
        for (auto& [name, watch] : parents) {
            watch->ended = true;
            left.push_back(std::move(watch));
        }
        watches.clear();
        parents.clear();
    }
    for (auto& watch : left) {
        release(std::move(watch));
    }
}

KeyWatchSet::KeyWatchSet() : system_(std::make_unique<System>()) {}
KeyWatchSet::~KeyWatchSet() = default;
KeyWatchSet::KeyWatchSet(KeyWatchSet&& other) noexcept = default;
KeyWatchSet& KeyWatchSet::operator=(KeyWatchSet&& other) noexcept = default;

platform::Result<uint64_t> KeyWatchSet::add(const Store& store, Root root, std::u16string_view path,
                                            bool subtree, uint32_t filter) {
    const auto key = Key::open(store, root, path, kKeyNotify);
    if (!key) {
        return key.error();
    }
    auto made = makeWatch(system_.get(), key->state()->key.get());
    if (!made) {
        return made.error();
    }
    std::unique_ptr<Watch> watch = std::move(made).value();
    watch->subtree = subtree;
    watch->filter = notifyFilter(filter);
    // The parent's names tell of the key's deletion; where the parent cannot
    // be watched, only the key's own notification can.
    const std::u16string_view parentPath = parentPathOf(path);
    std::u16string parentName =
        common::utf8ToUtf16(std::to_string(static_cast<uint32_t>(root))) + u":";
    for (char16_t c : parentPath) {
        parentName.push_back(common::foldCase(c));
    }
    std::unique_ptr<Watch> parent;
    {
        std::lock_guard guard(system_->lock);
        if (!system_->parents.contains(parentName)) {
            if (auto parentKey = Key::open(store, root, parentPath, kKeyNotify)) {
                if (auto madeParent = makeWatch(system_.get(), parentKey->state()->key.get())) {
                    parent = std::move(madeParent).value();
                }
            }
        }
    }
    std::lock_guard guard(system_->lock);
    if (!system_->signal.valid()) {
        System::release(std::move(watch));
        return platform::Error::windows(platform::WinError::kNoSystemResources);
    }
    watch->id = system_->nextId++;
    if (!system_->renew(*watch)) {
        const DWORD failure = ::GetLastError();
        System::release(std::move(watch));
        return platform::Error::windows(failure == 0 ? platform::WinError::kNoSystemResources
                                                     : failure);
    }
    if (parent && !system_->parents.contains(parentName)) {
        parent->isParent = true;
        parent->filter = REG_NOTIFY_CHANGE_NAME;
        if (system_->renew(*parent)) {
            system_->parents.emplace(parentName, std::move(parent));
        }
    }
    if (auto found = system_->parents.find(parentName); found != system_->parents.end()) {
        found->second->children.push_back(watch->id);
        watch->parentName = parentName;
    }
    const uint64_t id = watch->id;
    system_->watches.emplace(id, std::move(watch));
    if (parent) {
        System::release(std::move(parent));  // made by a concurrent add too: not needed
    }
    return id;
}

void KeyWatchSet::remove(uint64_t id) {
    std::unique_ptr<Watch> ending;
    std::unique_ptr<Watch> parent;
    {
        std::lock_guard guard(system_->lock);
        auto found = system_->watches.find(id);
        if (found == system_->watches.end()) {
            return;
        }
        found->second->ended = true;
        ending = std::move(found->second);
        system_->watches.erase(found);
        std::erase(system_->signalled, id);
        std::erase(system_->rearmed, id);
        if (auto above = system_->parents.find(ending->parentName);
            above != system_->parents.end()) {
            std::erase(above->second->children, id);
            if (above->second->children.empty()) {
                above->second->ended = true;
                parent = std::move(above->second);
                system_->parents.erase(above);
                std::erase(system_->signalledParents, parent.get());
            }
        }
    }
    System::release(std::move(ending));
    if (parent) {
        System::release(std::move(parent));
    }
}

bool KeyWatchSet::valid() const {
    return system_ && system_->signal.valid();
}

int KeyWatchSet::fd() const {
    return system_ ? system_->signal.descriptor() : -1;
}

std::vector<uint64_t> KeyWatchSet::consume() {
    std::vector<uint64_t> fired;
    std::lock_guard guard(system_->lock);
    system_->signal.reset();
    // The system sets a watch's event as part of the change; the thread-pool
    // wait that tells the set runs later. The events are asked here too, so
    // that a change made before this call is taken in by it.
    for (auto& [name, parent] : system_->parents) {
        if (eventSet(parent->event)) {
            noteSignalled(*parent);
        }
    }
    for (auto& [id, watch] : system_->watches) {
        if (eventSet(watch->event)) {
            noteSignalled(*watch);
        }
    }
    // A parent's names changed: its watched children that are gone fire.
    for (Watch* parent : std::exchange(system_->signalledParents, {})) {
        (void)system_->renew(*parent);
        for (uint64_t id : parent->children) {
            auto found = system_->watches.find(id);
            if (found != system_->watches.end() && found->second->intact &&
                keyDeleted(found->second->key.get())) {
                found->second->intact = false;
                system_->signalled.push_back(id);
            }
        }
    }
    for (uint64_t id : std::exchange(system_->rearmed, {})) {
        auto found = system_->watches.find(id);
        if (found != system_->watches.end() && found->second->armed && found->second->pending) {
            found->second->armed = false;
            found->second->pending = false;
            fired.push_back(id);
        }
    }
    for (uint64_t id : std::exchange(system_->signalled, {})) {
        auto found = system_->watches.find(id);
        if (found == system_->watches.end()) {
            continue;
        }
        Watch& watch = *found->second;
        // The system's notification is one-shot: the next one is asked for
        // at once, armed or not.
        watch.intact = watch.intact && system_->renew(watch);
        if (watch.armed) {
            watch.armed = false;
            watch.pending = false;
            fired.push_back(id);
        } else {
            watch.pending = true;
        }
    }
    return fired;
}

void KeyWatchSet::rearm(uint64_t id) {
    std::lock_guard guard(system_->lock);
    auto found = system_->watches.find(id);
    if (found == system_->watches.end()) {
        return;
    }
    Watch& watch = *found->second;
    watch.armed = true;
    if (watch.pending) {
        system_->rearmed.push_back(id);
        system_->signal.set();
    }
}

bool KeyWatchSet::armed(uint64_t id) const {
    std::lock_guard guard(system_->lock);
    auto found = system_->watches.find(id);
    return found != system_->watches.end() && found->second->armed;
}

bool KeyWatchSet::intact(uint64_t id) const {
    std::lock_guard guard(system_->lock);
    auto found = system_->watches.find(id);
    return found != system_->watches.end() && found->second->intact;
}

size_t KeyWatchSet::size() const {
    std::lock_guard guard(system_->lock);
    return system_->watches.size();
}

}  // namespace holm::registry

#include "async/registry_worker.h"

#include <array>
#include <utility>

#include "common/utf16.h"

namespace holm::async {

namespace reg = platform::registry;

namespace {
constexpr uint64_t kRefreshKey = 2;

std::string recordNameOf(const CHlmPlgAsyncElemRegistry& element) {
    std::u16string folded = element.subkey;
    for (char16_t& c : folded) {
        c = text::foldCase(c);
    }
    return std::to_string(element.root) + (element.subtree ? ":1:" : ":0:") +
           text::utf16ToUtf8(folded);
}
}  // namespace

CAsyncImplObjectRegistry::CAsyncImplObjectRegistry(PluginCallGate& gate,
                                                   ElementLifetimes& lifetimes,
                                                   std::filesystem::path storeDirectory)
    : CAsyncImplObject(gate, lifetimes), storeDirectory_(std::move(storeDirectory)) {}

CAsyncImplObjectRegistry::~CAsyncImplObjectRegistry() {
    stopThread();
}

bool CAsyncImplObjectRegistry::openStore() {
    if (store_.valid()) {
        return true;
    }
    const std::filesystem::path directory =
        storeDirectory_.empty() ? reg::Store::defaultDirectory() : storeDirectory_;
    return reg::Store::open(directory, store_, reg::StoreAccess::ReadOnly) == reg::kErrorSuccess;
}

bool CAsyncImplObjectRegistry::keyOpens(uint32_t root, std::u16string_view subkey) {
    std::lock_guard lock(watchLock_);
    reg::Key key;
    return openStore() && reg::Key::open(store_, static_cast<reg::Root>(root), subkey, key,
                                         reg::kKeyRead) == reg::kErrorSuccess;
}

void CAsyncImplObjectRegistry::readStored(CHlmPlgAsyncElemRegistry& element) {
    std::lock_guard lock(watchLock_);
    (void)valueChanged(element);
}

// Reads the element's value; true when it differs from the stored one,
// which it then replaces. A value that cannot be read counts as type 0
// without data.
bool CAsyncImplObjectRegistry::valueChanged(Element& element) {
    reg::Value now;
    reg::Key key;
    if (!openStore() ||
        reg::Key::open(store_, static_cast<reg::Root>(element.root), element.subkey, key,
                       reg::kKeyRead) != reg::kErrorSuccess ||
        key.queryValue(element.valueName, now) != reg::kErrorSuccess) {
        now = reg::Value{};
    }
    if (now == element.stored) {
        return false;
    }
    element.stored = std::move(now);
    return true;
}

bool CAsyncImplObjectRegistry::attach(CHlmPlgAsyncElem& added) {
    auto& element = static_cast<Element&>(added);
    std::lock_guard lock(watchLock_);
    if (!openStore()) {
        return false;
    }
    auto [found, inserted] = records_.try_emplace(recordNameOf(element));
    Record& record = found->second;
    if (inserted) {
        record.id = nextId_++;
        record.root = element.root;
        record.subkey = element.subkey;
        record.subtree = element.subtree;
        byId_.emplace(record.id, &record);
        // Watched on the registering thread: a change made after the
        // registration returned is never lost.
        if (watchRecord(record)) {
            unsynced_.push_back(record.id);
        } else {
            unwatched_.insert(record.id);
        }
    }
    record.elements.push_back(&element);
    return true;
}

void CAsyncImplObjectRegistry::detach(CHlmPlgAsyncElem& removed) {
    auto& element = static_cast<Element&>(removed);
    std::lock_guard lock(watchLock_);
    auto found = records_.find(recordNameOf(element));
    if (found == records_.end()) {
        return;
    }
    Record& record = found->second;
    std::erase(record.elements, &element);
    if (record.elements.empty()) {
        // Closing the watch takes it out of the running loop's epoll set.
        unwatched_.erase(record.id);
        byId_.erase(record.id);
        records_.erase(found);
    }
}

bool CAsyncImplObjectRegistry::watchRecord(Record& record) {
    reg::KeyWatch watch;
    if (reg::KeyWatch::create(store_, static_cast<reg::Root>(record.root), record.subkey,
                              record.subtree, reg::kNotifyName | reg::kNotifyLastSet,
                              watch) != reg::kErrorSuccess) {
        return false;
    }
    record.watch = std::move(watch);
    return true;
}

// Adds the watches made since the last look. One the kernel refuses waits
// for a retry at a later wake.
void CAsyncImplObjectRegistry::syncWatches(platform::EpollSet& epoll) {
    for (uint64_t id : std::exchange(unsynced_, {})) {
        auto found = byId_.find(id);
        if (found == byId_.end() || !found->second->watch.valid()) {
            continue;  // gone meanwhile
        }
        if (!epoll.add(found->second->watch.fd(), id)) {
            found->second->watch = reg::KeyWatch{};
            unwatched_.insert(id);
        }
    }
}

// Watches again the records that have no watch; their value elements are
// compared then (a key that came back may bring its values). True when a
// watch was made.
bool CAsyncImplObjectRegistry::retryUnwatched(Selection& values) {
    bool watched = false;
    for (uint64_t id : std::vector<uint64_t>(unwatched_.begin(), unwatched_.end())) {
        Record& record = *byId_.at(id);
        if (!watchRecord(record)) {
            continue;
        }
        unwatched_.erase(id);
        unsynced_.push_back(id);
        watched = true;
        for (Element* element : record.elements) {
            if (element->isValue() && valueChanged(*element)) {
                lifetimes_.acquire(element);
                values.push_back(element);
            }
        }
    }
    return watched;
}

void CAsyncImplObjectRegistry::fire(Record& record, Selection& keys, Selection& values) {
    if (!record.watch.consume()) {
        return;  // only changes the watch does not report
    }
    reg::Key key;
    if (reg::Key::open(store_, static_cast<reg::Root>(record.root), record.subkey, key,
                       reg::kKeyNotify) == reg::kErrorSuccess) {
        record.watch.rearm();
    } else {
        // The key was deleted: its watch sees nothing any more.
        record.watch = reg::KeyWatch{};
        unwatched_.insert(record.id);
    }
    for (Element* element : record.elements) {
        if (!element->isValue()) {
            lifetimes_.acquire(element);
            keys.push_back(element);
        } else if (valueChanged(*element)) {
            lifetimes_.acquire(element);
            values.push_back(element);
        }
    }
}

void CAsyncImplObjectRegistry::dropSessionWatches() {
    std::u16string sid;
    {
        std::lock_guard lock(sidLock_);
        sid = sid_;
    }
    if (sid.empty()) {
        return;
    }
    for (auto& [name, record] : records_) {
        if (record.watch.valid() && record.subkey.find(sid) != std::u16string::npos) {
            record.watch = reg::KeyWatch{};
            unwatched_.insert(record.id);
        }
    }
}

void CAsyncImplObjectRegistry::onSessionLogoff() {
    refresh_.set();
}

void CAsyncImplObjectRegistry::onSessionLogon(const std::u16string& sid) {
    std::lock_guard lock(sidLock_);
    sid_ = sid;
}

uint32_t CAsyncImplObjectRegistry::run(HlmPlg::IStopEvent* stop) {
    markDispatcherThread();
    platform::EpollSet epoll;
    if (!epoll.valid() || !epoll.add(stop->getDescriptor(), kStopKey) ||
        !epoll.add(wake_.descriptor(), kWakeKey) ||
        !epoll.add(refresh_.descriptor(), kRefreshKey)) {
        return 1;  // a worker that cannot wait ends; its elements stay registered
    }
    {
        // A new run has a new set: every watch joins it.
        std::lock_guard lock(watchLock_);
        unsynced_.clear();
        for (const auto& [id, record] : byId_) {
            unsynced_.push_back(id);
        }
    }
    bool sync = true;
    std::array<uint64_t, 64> ready{};
    for (;;) {
        if (sync) {
            // Reset before looking: a change made after this sets it again.
            wake_.reset();
            std::lock_guard lock(watchLock_);
            syncWatches(epoll);
            sync = false;
        }
        const int count = epoll.wait(ready);
        if (count < 0) {
            return 1;
        }
        Selection keys;
        Selection values;
        {
            std::lock_guard lock(watchLock_);
            bool refresh = false;
            for (int i = 0; i < count; ++i) {
                const uint64_t key = ready[static_cast<size_t>(i)];
                if (key == kStopKey) {
                    return 0;
                }
                if (key == kWakeKey) {
                    sync = true;
                } else if (key == kRefreshKey) {
                    refresh = true;
                } else if (auto found = byId_.find(key); found != byId_.end()) {
                    fire(*found->second, keys, values);
                }
            }
            // Records without a watch are retried at every wake, before a
            // logoff closes the session user's: those wait for the next.
            sync = retryUnwatched(values) || sync;
            if (refresh) {
                refresh_.reset();
                dropSessionWatches();
            }
        }
        deliverAll(values);
        deliverAll(keys);
    }
}

size_t CAsyncImplObjectRegistry::recordCount() {
    std::lock_guard lock(watchLock_);
    return records_.size();
}

size_t CAsyncImplObjectRegistry::unwatchedRecordCount() {
    std::lock_guard lock(watchLock_);
    return unwatched_.size();
}

}  // namespace holm::async

#include "async/registry_worker.h"

#include <optional>
#include <utility>

#include "common/utf16.h"
#include "platform/errors.h"

namespace holm::async {

namespace reg = ::holm::registry;

namespace {
constexpr uint64_t kRefreshKey = 2;
constexpr uint64_t kWatchSetKey = 3;

bool isLimitError(uint32_t error) {
    return error == platform::WinError::kTooManyOpenFiles ||
           error == platform::WinError::kNoSystemResources ||
           error == platform::WinError::kNotEnoughMemory;
}

std::string recordNameOf(const CHlmPlgAsyncElemRegistry& element) {
    std::u16string folded = element.subkey;
    for (char16_t& c : folded) {
        c = common::foldCase(c);
    }
    return std::to_string(element.root) + (element.subtree ? ":1:" : ":0:") +
           common::utf16ToUtf8(folded);
}
}  // namespace

CAsyncImplObjectRegistry::CAsyncImplObjectRegistry(PluginCallGate& gate,
                                                   ElementLifetimes& lifetimes,
                                                   std::filesystem::path storeDirectory)
    : CAsyncImplObject(gate, lifetimes), storeDirectory_(std::move(storeDirectory)) {}

CAsyncImplObjectRegistry::~CAsyncImplObjectRegistry() {
    stopThread();
}

platform::Status CAsyncImplObjectRegistry::openStore() {
    if (store_.valid()) {
        return {};
    }
    auto opened = storeDirectory_.empty()
                      ? reg::Store::openDefault(reg::StoreAccess::ReadOnly)
                      : reg::Store::open(storeDirectory_, reg::StoreAccess::ReadOnly);
    if (!opened) {
        return opened.error();
    }
    store_ = std::move(*opened);
    return {};
}

bool CAsyncImplObjectRegistry::keyOpens(uint32_t root, std::u16string_view subkey) {
    common::MutexLock lock(watchLock_);
    return openStore().ok() &&
           reg::Key::open(store_, static_cast<reg::Root>(root), subkey, reg::kKeyRead).ok();
}

void CAsyncImplObjectRegistry::readStored(CHlmPlgAsyncElemRegistry& element) {
    common::MutexLock lock(watchLock_);
    (void)valueChanged(element);
}

// Reads the element's value; true when it differs from the stored one,
// which it then replaces. A value that cannot be read counts as type 0
// without data.
bool CAsyncImplObjectRegistry::valueChanged(Element& element) {
    reg::Value now;
    if (openStore().ok()) {
        const auto key =
            reg::Key::open(store_, static_cast<reg::Root>(element.root), element.subkey);
        if (key) {
            now = key->queryValue(element.valueName).valueOr(reg::Value{});
        }
    }
    if (now == element.stored) {
        return false;
    }
    element.stored = std::move(now);
    return true;
}

platform::Status CAsyncImplObjectRegistry::attach(CHlmPlgAsyncElem& added) {
    auto& element = static_cast<Element&>(added);
    common::MutexLock lock(watchLock_);
    if (platform::Status opened = openStore(); !opened) {
        return opened;
    }
    auto [found, inserted] = records_.try_emplace(recordNameOf(element));
    Record& record = found->second;
    if (inserted) {
        record.root = element.root;
        record.subkey = element.subkey;
        record.subtree = element.subtree;
        // Watched on the registering thread: a change made after the
        // registration returned is never lost. A kernel limit refuses the
        // registration (the error names it); a key gone meanwhile is left to
        // a retry.
        const platform::Status watched = watchRecord(record);
        if (!watched && isLimitError(watched.windowsError())) {
            records_.erase(found);
            return watched;
        }
        if (!watched) {
            unwatched_.insert(&record);
        }
    }
    record.elements.push_back(&element);
    return {};
}

void CAsyncImplObjectRegistry::detach(CHlmPlgAsyncElem& removed) {
    auto& element = static_cast<Element&>(removed);
    common::MutexLock lock(watchLock_);
    auto found = records_.find(recordNameOf(element));
    if (found == records_.end()) {
        return;
    }
    Record& record = found->second;
    std::erase(record.elements, &element);
    if (record.elements.empty()) {
        unwatchRecord(record);
        unwatched_.erase(&record);
        records_.erase(found);
    }
}

platform::Status CAsyncImplObjectRegistry::watchRecord(Record& record) {
    const auto id = watches_.add(store_, static_cast<reg::Root>(record.root), record.subkey,
                                 record.subtree, reg::kNotifyName | reg::kNotifyLastSet);
    if (!id) {
        return id.error();
    }
    record.watch = *id;
    byWatch_.emplace(*id, &record);
    return {};
}

void CAsyncImplObjectRegistry::unwatchRecord(Record& record) {
    if (record.watch != 0) {
        watches_.remove(record.watch);
        byWatch_.erase(record.watch);
        record.watch = 0;
    }
}

// Watches again the records that have no watch; their value elements are
// compared then (a key that came back may bring its values).
void CAsyncImplObjectRegistry::retryUnwatched(Selection& values) {
    for (Record* record : std::vector<Record*>(unwatched_.begin(), unwatched_.end())) {
        if (!watchRecord(*record)) {
            continue;
        }
        unwatched_.erase(record);
        for (Element* element : record->elements) {
            if (element->isValue() && valueChanged(*element)) {
                lifetimes().acquire(element);
                values.push_back(element);
            }
        }
    }
}

void CAsyncImplObjectRegistry::fire(Record& record, Selection& keys, Selection& values) {
    if (watches_.intact(record.watch) &&
        reg::Key::open(store_, static_cast<reg::Root>(record.root), record.subkey, reg::kKeyNotify)
            .ok()) {
        watches_.rearm(record.watch);
    } else {
        // The key was deleted: its watch sees nothing any more.
        unwatchRecord(record);
        unwatched_.insert(&record);
    }
    for (Element* element : record.elements) {
        if (!element->isValue()) {
            lifetimes().acquire(element);
            keys.push_back(element);
        } else if (valueChanged(*element)) {
            lifetimes().acquire(element);
            values.push_back(element);
        }
    }
}

void CAsyncImplObjectRegistry::dropSessionWatches() {
    std::u16string sid;
    {
        common::MutexLock lock(sidLock_);
        sid = sid_;
    }
    if (sid.empty()) {
        return;
    }
    for (auto& [name, record] : records_) {
        if (record.watch != 0 && record.subkey.find(sid) != std::u16string::npos) {
            unwatchRecord(record);
            unwatched_.insert(&record);
        }
    }
}

void CAsyncImplObjectRegistry::onSessionLogoff() {
    refresh_.set();
}

void CAsyncImplObjectRegistry::onSessionLogon(const std::u16string& sid) {
    common::MutexLock lock(sidLock_);
    sid_ = sid;
}

// One run: the refresh event is a member from the start, the watch set once
// the first watch has opened it (it is then kept for the worker's life).
class CAsyncImplObjectRegistry::Run final : public WaitLoopRun {
  public:
    explicit Run(CAsyncImplObjectRegistry& worker) : worker_(worker) {}

    bool begin(platform::WaitSet& waits) override {
        return waits.add(worker_.refresh_.descriptor(), kRefreshKey).ok();
    }

    std::optional<Deadline> beforeWait(platform::WaitSet& waits, bool woken,
                                       HlmPlg::IStopEvent& stop) override {
        (void)woken;
        (void)stop;
        if (!waitingOnSet_) {
            common::MutexLock lock(worker_.watchLock_);
            waitingOnSet_ =
                worker_.watches_.valid() && waits.add(worker_.watches_.fd(), kWatchSetKey).ok();
        }
        return Deadline::max();
    }

    bool handle(Keys ready, bool woken) override {
        worker_.handle(ready, woken);
        return true;
    }

  private:
    CAsyncImplObjectRegistry& worker_;
    bool waitingOnSet_ = false;
};

uint32_t CAsyncImplObjectRegistry::run(HlmPlg::IStopEvent* stop) {
    Run run(*this);
    return waitLoop(*stop, run);
}

void CAsyncImplObjectRegistry::handle(WaitLoopRun::Keys ready, bool woken) {
    const bool changed = platform::containsKey(ready, kWatchSetKey);
    const bool refresh = platform::containsKey(ready, kRefreshKey);
    Selection keys;
    Selection values;
    {
        common::MutexLock lock(watchLock_);
        if (changed) {
            const std::vector<uint64_t> fired = watches_.consume();
            woken = woken || !fired.empty();
            for (uint64_t id : fired) {
                if (auto found = byWatch_.find(id); found != byWatch_.end()) {
                    fire(*found->second, keys, values);
                }
            }
        }
        // Records without a watch are retried at every wake (a
        // registration, a change reported, a logoff), before a logoff
        // closes the session user's: those wait for the next. The set's
        // own notes (a directory no longer watched) wake nothing.
        if (woken || refresh) {
            retryUnwatched(values);
        }
        if (refresh) {
            refresh_.reset();
            dropSessionWatches();
        }
    }
    deliverAll(values);
    deliverAll(keys);
}

size_t CAsyncImplObjectRegistry::unwatchedRecordCount() {
    common::MutexLock lock(watchLock_);
    return unwatched_.size();
}

}  // namespace holm::async

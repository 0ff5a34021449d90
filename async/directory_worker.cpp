#include "async/directory_worker.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <utility>

#include "common/path_parts.h"
#include "common/utf16.h"
#include "platform/errors.h"
#include "platform/file_system.h"

namespace holm::async {

namespace {
constexpr uint64_t kNotifierKey = 2;

std::string foldAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool isWatchLimit(int error) {
    return error == ENOSPC || error == EMFILE || error == ENFILE || error == ENOMEM;
}

// A watch the kernel refused, with the Windows number of its limit.
platform::Error watchRefusal(int error) {
    return platform::Error::windows(platform::windowsErrorFromWatchErrno(error), error);
}

std::string joinPath(const std::string& directory, const std::string& name) {
    return directory.ends_with('/') ? directory + name : directory + '/' + name;
}

// The directory a file element's key watches: its path up to the last
// separator ("/" for a file in the root, "." for a bare name).
std::string parentOf(const std::string& path) {
    return std::string(common::directoryOf(path));
}

std::string entryNameOf(const std::string& path) {
    return std::string(common::fileNameOf(path));
}

std::string keyDirectoryOf(const CHlmPlgAsyncElemDirectoryOrFile& element) {
    return element.isFile() ? parentOf(element.path) : element.path;
}

// Keys are told apart by the exact directory: names that differ only in
// case are different directories here, and each must be watched. Matching
// still folds A-Z.
std::string keyNameOf(const std::string& directory, bool subtree) {
    return directory + (subtree ? ";1" : ";0");
}

template <class Index, class Value>
void eraseEntry(Index& index, const std::string& name, Value* value) {
    auto [begin, end] = index.equal_range(name);
    for (auto it = begin; it != end; ++it) {
        if (it->second == value) {
            index.erase(it);
            return;
        }
    }
}
}  // namespace

CAsyncImplObjectDirectory::CAsyncImplObjectDirectory(PluginCallGate& gate,
                                                     ElementLifetimes& lifetimes)
    : CAsyncImplObject(gate, lifetimes) {}

CAsyncImplObjectDirectory::~CAsyncImplObjectDirectory() {
    stopThread();
}

platform::Status CAsyncImplObjectDirectory::attach(CHlmPlgAsyncElem& added) {
    platform::Status attached = attachLocked(static_cast<Element&>(added));
    flushLog();
    return attached;
}

platform::Status CAsyncImplObjectDirectory::attachLocked(Element& element) {
    common::MutexLock lock(watchLock_);
    if (!notifier_) {
        auto notifier = platform::ChangeNotifier::open();
        if (!notifier) {
            // No instance left (limits): nothing can be watched.
            return watchRefusal(notifier.error().errnoValue());
        }
        notifier_ = std::make_unique<platform::ChangeNotifier>(std::move(notifier).value());
    }
    const std::string directory = keyDirectoryOf(element);
    const bool subtree = element.subtree && !element.isFile();
    auto [found, inserted] = keys_.try_emplace(keyNameOf(directory, subtree));
    Key& key = found->second;
    if (inserted) {
        key.directory = directory;
        key.folded = foldAscii(directory);
        key.subtree = subtree;
        refusal_ = 0;
        limitHit_ = false;
        const bool watched = watchKey(key);
        if (limitHit_ && retryDelay_.count() == 0) {
            backOff(std::chrono::steady_clock::now());
        }
        if (!watched && isWatchLimit(refusal_)) {
            // The kernel refuses the directory itself (limits): the
            // registration fails with the limit's error. A directory gone
            // meanwhile is left to the retry at the next wake.
            incomplete_.erase(&key);
            keys_.erase(found);
            return watchRefusal(refusal_);
        }
    }
    ++key.users;
    if (element.isFile()) {
        key.files.emplace(foldAscii(entryNameOf(element.path)), &element);
    } else {
        directories_[subtree].emplace(foldAscii(element.path), &element);
    }
    return {};
}

void CAsyncImplObjectDirectory::detach(CHlmPlgAsyncElem& removed) {
    auto& element = static_cast<Element&>(removed);
    common::MutexLock lock(watchLock_);
    const bool subtree = element.subtree && !element.isFile();
    auto found = keys_.find(keyNameOf(keyDirectoryOf(element), subtree));
    if (found == keys_.end()) {
        return;
    }
    Key& key = found->second;
    if (element.isFile()) {
        eraseEntry(key.files, foldAscii(entryNameOf(element.path)), &element);
    } else {
        eraseEntry(directories_[subtree], foldAscii(element.path), &element);
    }
    if (--key.users > 0) {
        return;
    }
    const std::vector<int> watches(key.watches.begin(), key.watches.end());
    for (int watch : watches) {
        dropWatch(key, watch);
    }
    incomplete_.erase(&key);
    keys_.erase(found);
}

// Watches the key's directory and, for a subtree key, everything below it.
// False (and the key waits for a retry) when the directory itself cannot
// be watched.
bool CAsyncImplObjectDirectory::watchKey(Key& key) {
    const int root = addWatch(key, key.directory, true);
    if (root < 0) {
        incomplete_.insert(&key);
        return false;
    }
    key.root = root;
    if (key.subtree) {
        walkSubtree(key, key.directory);
    }
    return true;
}

// Adds watches for every directory below `top` (already watched) that the
// key does not watch yet. Links are not followed (subdirectoryNames), and a
// directory met twice (a bind mount of an ancestor) is not walked again.
void CAsyncImplObjectDirectory::walkSubtree(Key& key, const std::string& top) {
    std::unordered_set<int> walked;
    std::vector<std::string> pending{top};
    while (!pending.empty()) {
        const std::string directory = std::move(pending.back());
        pending.pop_back();
        for (const std::string& name : platform::subdirectoryNames(directory)) {
            const std::string child = joinPath(directory, name);
            const int watch = addWatch(key, child, false);
            if (watch < 0) {
                incomplete_.insert(&key);  // limits, or gone already: the retry walks again
                if (isWatchLimit(refusal_)) {
                    limitReached(key);
                    return;  // every further watch would be refused as well
                }
            } else if (walked.insert(watch).second) {
                pending.push_back(child);
            }
        }
    }
}

// A subtree the kernel covers only in part: one host log line per key
// (until it is covered whole again), and retries back off.
void CAsyncImplObjectDirectory::limitReached(Key& key) {
    limitHit_ = true;
    if (key.limitReported) {
        return;
    }
    key.limitReported = true;
    const std::string limit =
        refusal_ == ENOSPC ? "the user's limit of kernel watches" : "a descriptor or memory limit";
    pendingLog_.push_back("directory watch of " + key.directory + ": " + limit +
                          " is reached; part of its subtree is not watched");
}

// Lines for the host's log, written with no lock held.
void CAsyncImplObjectDirectory::flushLog() {
    std::vector<std::string> lines;
    {
        common::MutexLock lock(watchLock_);
        lines.swap(pendingLog_);
    }
    for (const std::string& line : lines) {
        gate().logLine(common::utf8ToUtf16(line));
    }
}

// The kernel watch of `path`, recorded as one of the key's; -1 when refused.
int CAsyncImplObjectDirectory::addWatch(Key& key, const std::string& path, bool followLink) {
    const auto watch = notifier_->watch(path, followLink);
    if (!watch) {
        refusal_ = watch.error().errnoValue();
        return -1;
    }
    KernelWatch& kernel = kernel_[*watch];
    if (kernel.owners.empty()) {
        kernel.path = path;
    }
    if (key.watches.insert(*watch).second) {
        kernel.owners.push_back(&key);
    }
    return *watch;
}

void CAsyncImplObjectDirectory::dropWatch(Key& key, int watch) {
    key.watches.erase(watch);
    auto found = kernel_.find(watch);
    if (found == kernel_.end()) {
        return;
    }
    std::erase(found->second.owners, &key);
    if (found->second.owners.empty()) {
        notifier_->unwatch(watch);
        kernel_.erase(found);
    }
}

// The kernel dropped a watch (its directory was removed or its file system
// unmounted). A key that lost its own directory waits for a retry.
void CAsyncImplObjectDirectory::watchEnded(int watch) {
    auto found = kernel_.find(watch);
    if (found == kernel_.end()) {
        return;
    }
    for (Key* key : found->second.owners) {
        key->watches.erase(watch);
        if (key->root == watch) {
            key->root = -1;
            incomplete_.insert(key);
        }
    }
    kernel_.erase(found);
}

// Keys left incomplete are tried again at each wake; once a kernel limit
// refused a watch, no sooner than a delay that doubles up to a minute while
// the limit holds, so a full table is not walked at every change.
void CAsyncImplObjectDirectory::retryIncomplete() {
    const auto now = std::chrono::steady_clock::now();
    if (incomplete_.empty() || now < retryAt_) {
        return;
    }
    limitHit_ = false;
    const std::set<Key*> retry = std::exchange(incomplete_, {});
    for (Key* key : retry) {
        if (key->root < 0) {
            (void)watchKey(*key);
        } else if (key->subtree) {
            walkSubtree(*key, key->directory);
        }
        if (!incomplete_.contains(key)) {
            key->limitReported = false;
        }
    }
    backOff(now);
}

void CAsyncImplObjectDirectory::backOff(std::chrono::steady_clock::time_point now) {
    if (limitHit_) {
        retryDelay_ =
            std::clamp(retryDelay_ * 2, std::chrono::seconds(1), std::chrono::seconds(60));
        retryAt_ = now + retryDelay_;
    } else {
        retryDelay_ = std::chrono::seconds(0);
        retryAt_ = {};
    }
}

void CAsyncImplObjectDirectory::select(Element* element, std::unordered_set<Element*>& seen,
                                       Selection& selected) {
    if (seen.insert(element).second) {
        lifetimes().acquire(element);
        selected.push_back(element);
    }
}

// Directory elements with the key's subtree flag whose folded path starts
// with the key's folded directory.
void CAsyncImplObjectDirectory::selectDirectories(const Key& key,
                                                  std::unordered_set<Element*>& seen,
                                                  Selection& selected) {
    const auto& index = directories_[key.subtree];
    for (auto it = index.lower_bound(key.folded);
         it != index.end() && it->first.compare(0, key.folded.size(), key.folded) == 0; ++it) {
        select(it->second, seen, selected);
    }
}

void CAsyncImplObjectDirectory::selectEverything(std::unordered_set<Element*>& seen,
                                                 Selection& selected) {
    for (auto& [name, key] : keys_) {
        for (auto& [entry, element] : key.files) {
            select(element, seen, selected);
        }
    }
    for (const auto& index : directories_) {
        for (const auto& [path, element] : index) {
            select(element, seen, selected);
        }
    }
}

void CAsyncImplObjectDirectory::handle(const platform::ChangeEvent& event,
                                       std::unordered_set<Element*>& seen, Selection& files,
                                       Selection& directories) {
    if (event.what & platform::kChangeOverflow) {
        // Changes were lost: every element may have missed one, and a
        // subtree may have missed a new directory.
        selectEverything(seen, directories);
        for (auto& [name, key] : keys_) {
            if (key.subtree) {
                incomplete_.insert(&key);
            }
        }
        return;
    }
    if (event.what & platform::kChangeWatchEnded) {
        watchEnded(event.watch);
        return;
    }
    auto found = kernel_.find(event.watch);
    if (found == kernel_.end()) {
        return;  // a watch dropped meanwhile
    }
    // Copies: adding watches below may rehash the table.
    const std::vector<Key*> owners = found->second.owners;
    const std::string path = found->second.path;
    if (event.what & platform::kChangeDirectoryAdded) {
        const std::string child = joinPath(path, event.name);
        for (Key* key : owners) {
            if (!key->subtree) {
                continue;
            }
            if (addWatch(*key, child, false) < 0) {
                incomplete_.insert(key);
                if (isWatchLimit(refusal_)) {
                    limitReached(*key);
                }
            } else {
                walkSubtree(*key, child);
            }
        }
    }
    const std::string entry = foldAscii(event.name);
    for (Key* key : owners) {
        selectDirectories(*key, seen, directories);
        if (key->root != event.watch || entry.empty()) {
            continue;
        }
        auto [begin, end] = key->files.equal_range(entry);
        for (auto it = begin; it != end; ++it) {
            if (platform::pathExists(it->second->path)) {
                select(it->second, seen, files);
            }
        }
    }
}

// One run: the notifier joins its set once the first registration has made
// it (it is then kept for the worker's life); a retry that backed off sets
// the deadline of the wait.
class CAsyncImplObjectDirectory::Run final : public WaitLoopRun {
  public:
    explicit Run(CAsyncImplObjectDirectory& worker) : worker_(worker) {}

    std::optional<Deadline> beforeWait(platform::WaitSet& waits, bool woken,
                                       HlmPlg::IStopEvent& stop) override {
        (void)woken;
        (void)stop;
        common::MutexLock lock(worker_.watchLock_);
        if (notifier_ == nullptr && worker_.notifier_ &&
            waits.add(worker_.notifier_->descriptor(), kNotifierKey).ok()) {
            notifier_ = worker_.notifier_.get();
        }
        if (!worker_.incomplete_.empty() && worker_.retryDelay_.count() > 0) {
            return worker_.retryAt_;  // the retry that backed off is due then
        }
        return Deadline::max();
    }

    bool handle(Keys ready, bool woken) override {
        (void)woken;
        events_.clear();
        if (platform::containsKey(ready, kNotifierKey) && !notifier_->read(events_).ok()) {
            return false;
        }
        Selection files;
        Selection directories;
        {
            common::MutexLock lock(worker_.watchLock_);
            seen_.clear();
            for (const platform::ChangeEvent& event : events_) {
                worker_.handle(event, seen_, files, directories);
            }
            // After the events: a subtree that overflowed is walked again
            // before its elements hear of it.
            worker_.retryIncomplete();
        }
        worker_.flushLog();
        worker_.deliverAll(files);
        worker_.deliverAll(directories);
        return true;
    }

  private:
    CAsyncImplObjectDirectory& worker_;
    // Joined this run's set; the notifier lives as long as the worker.
    platform::ChangeNotifier* notifier_ = nullptr;
    std::vector<platform::ChangeEvent> events_;
    std::unordered_set<Element*> seen_;
};

uint32_t CAsyncImplObjectDirectory::run(HlmPlg::IStopEvent* stop) {
    Run run(*this);
    return waitLoop(*stop, run);
}

size_t CAsyncImplObjectDirectory::keyCount() {
    common::MutexLock lock(watchLock_);
    return keys_.size();
}

size_t CAsyncImplObjectDirectory::kernelWatchCount() {
    common::MutexLock lock(watchLock_);
    return kernel_.size();
}

size_t CAsyncImplObjectDirectory::incompleteKeyCount() {
    common::MutexLock lock(watchLock_);
    return incomplete_.size();
}

}  // namespace holm::async

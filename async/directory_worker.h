// The directory worker ("AsyncDirectoryThread"): watchDirectory (kind 3)
// and watchFile (kind 5) elements over one change notifier (inotify).
//
// Elements are grouped by watch key: a directory and its subtree flag (a
// file's key is its directory without subtree). Directories whose names
// differ only in case are different directories here, so they are separate
// keys, each watched. Each key holds kernel watches: its directory and, with the
// subtree flag, every directory below it, including those created later (a
// new directory is watched and then walked, so nothing made in it before its
// watch existed goes unseen: the event that announced it is delivered after
// the walk). Symbolic links below a subtree are not followed, and a walk
// never enters a directory twice, so link and mount loops end.
//
// Matching: a change seen by key (D, F) delivers every directory element
// with subtree flag F whose path starts with D (A-Z folded; D need not end
// at a separator), found through a sorted index rather than a walk of the
// list. A file element is delivered when a change names its own entry in
// its directory and the file then exists: the event's own name decides, so a
// sibling's change never fires it and two writes within one clock tick of
// the file system each fire. A queue overflow delivers every element.
//
// Registration adds the key's kernel watches on the registering thread, so
// a change made after watchDirectory or watchFile returned is never lost.
// A kernel limit reached for the directory itself (no instance, no watch
// left) refuses the registration with the limit's error (the plugin's last
// error); a subtree covered only in part is registered, with one host log
// line naming the limit and the directory. A directory that vanished is
// tried again at every later wake of the worker, which keeps serving the
// rest; a subtree a limit cut short is retried with a delay that doubles up
// to a minute.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "async/worker.h"
#include "common/mutex.h"
#include "platform/change_notifier.h"

namespace holm::async {

class CAsyncImplObjectDirectory final : public CAsyncImplObject {
  public:
    CAsyncImplObjectDirectory(PluginCallGate& gate, ElementLifetimes& lifetimes);
    ~CAsyncImplObjectDirectory() override;

    const char16_t* getThreadName() override { return u"AsyncDirectoryThread"; }
    uint32_t run(HlmPlg::IStopEvent* stop) override;

    // Diagnostics and tests: distinct keys, kernel watches, keys waiting
    // for a retry.
    size_t keyCount() EXCLUDES(watchLock_);
    size_t kernelWatchCount() EXCLUDES(watchLock_);
    size_t incompleteKeyCount() EXCLUDES(watchLock_);

  private:
    using Element = CHlmPlgAsyncElemDirectoryOrFile;
    struct Key {
        std::string directory;  // as first met
        std::string folded;     // directory with A-Z folded
        bool subtree = false;
        size_t users = 0;
        int root = -1;  // the kernel watch of the directory itself
        std::unordered_set<int> watches;
        // File elements of this key by their A-Z folded entry name.
        std::unordered_multimap<std::string, Element*> files;
        bool limitReported = false;  // its partial cover was logged
    };
    struct KernelWatch {
        std::string path;
        std::vector<Key*> owners;
    };
    using Selection = std::vector<CHlmPlgAsyncElem*>;
    // One run of the wait loop.
    class Run;
    // Each key's watches are made and dropped as its elements come and go.
    platform::Status attach(CHlmPlgAsyncElem& element) override EXCLUDES(watchLock_);
    void detach(CHlmPlgAsyncElem& element) override EXCLUDES(watchLock_);

    platform::Status attachLocked(Element& element) EXCLUDES(watchLock_);
    bool watchKey(Key& key) REQUIRES(watchLock_);
    void limitReached(Key& key) REQUIRES(watchLock_);
    void backOff(std::chrono::steady_clock::time_point now) REQUIRES(watchLock_);
    void flushLog() EXCLUDES(watchLock_);
    void walkSubtree(Key& key, const std::string& top) REQUIRES(watchLock_);
    int addWatch(Key& key, const std::string& path, bool followLink) REQUIRES(watchLock_);
    void dropWatch(Key& key, int watch) REQUIRES(watchLock_);
    void watchEnded(int watch) REQUIRES(watchLock_);
    void retryIncomplete() REQUIRES(watchLock_);
    void handle(const platform::ChangeEvent& event, std::unordered_set<Element*>& seen,
                Selection& files, Selection& directories) REQUIRES(watchLock_);
    void selectDirectories(const Key& key, std::unordered_set<Element*>& seen, Selection& selected)
        REQUIRES(watchLock_);
    void selectEverything(std::unordered_set<Element*>& seen, Selection& selected)
        REQUIRES(watchLock_);
    void select(Element* element, std::unordered_set<Element*>& seen, Selection& selected);

    common::Mutex watchLock_;
    std::unique_ptr<platform::ChangeNotifier> notifier_ GUARDED_BY(watchLock_);
    std::map<std::string, Key> keys_ GUARDED_BY(watchLock_);  // by "<directory>;<0|1>"
    std::unordered_map<int, KernelWatch> kernel_ GUARDED_BY(watchLock_);
    std::set<Key*> incomplete_ GUARDED_BY(watchLock_);
    int refusal_ GUARDED_BY(watchLock_) = 0;  // errno of the last kernel watch refused
    // A kernel limit refused a watch since the last look.
    bool limitHit_ GUARDED_BY(watchLock_) = false;
    std::chrono::steady_clock::time_point retryAt_ GUARDED_BY(watchLock_){};
    std::chrono::seconds retryDelay_ GUARDED_BY(watchLock_){0};
    std::vector<std::string> pendingLog_ GUARDED_BY(watchLock_);
    // Directory elements by A-Z folded path, one index per subtree flag.
    std::multimap<std::string, Element*> directories_[2] GUARDED_BY(watchLock_);
};

}  // namespace holm::async

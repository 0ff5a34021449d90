// The registry worker ("AsyncRegistryThread"): watchRegistryKey (kind 7) and
// watchRegistryValue (kind 8) elements over the registry store's key watches.
//
// Elements are grouped in records by root, subkey (A-Z folded) and subtree
// flag; each record holds one key watch, all of them in one watch set: one
// kernel instance for the whole worker, waited on with the stop, wake and
// refresh events. A key watch is armed again right after each firing, and
// only the records that fired are touched: nothing is rebuilt per wake, so
// 10,000 records cost a wake what 10 do.
//
// A firing record delivers its key elements, and those of its value
// elements whose value (type, size or bytes) differs from the one stored at
// registration or at their last delivery; the value read then becomes the
// stored one. So a value deleted is delivered once, and once again when it
// is created. A key that was deleted (or cannot be watched: limits) loses
// its watch and is watched anew at later wakes of the worker, which keeps
// serving the other records meanwhile; its value elements are compared again
// when the watch comes back.
//
// Session hooks: a logon stores the session user's SID; a logoff sets the
// refresh event, and the worker then closes the watches of every record
// whose subkey contains that SID (exact text), so that the user's keys are
// not held open; they are watched again at the next wake after that.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "async/worker.h"
#include "common/mutex.h"
#include "platform/manual_event.h"
#include "registry/registry.h"
#include "registry/registry_watch.h"

namespace holm::async {

class CAsyncImplObjectRegistry final : public CAsyncImplObject {
  public:
    // `storeDirectory` is the registry store's directory (empty: the
    // store's default).
    CAsyncImplObjectRegistry(PluginCallGate& gate, ElementLifetimes& lifetimes,
                             std::filesystem::path storeDirectory);
    ~CAsyncImplObjectRegistry() override;

    const char16_t* getThreadName() override { return u"AsyncRegistryThread"; }
    uint32_t run(HlmPlg::IStopEvent* stop) override;
    void onSessionLogoff() override;
    void onSessionLogon(const std::u16string& sid) override EXCLUDES(sidLock_);

    // Whether the key opens for reading (registration precondition).
    bool keyOpens(uint32_t root, std::u16string_view subkey) EXCLUDES(watchLock_);
    // Reads the element's value into its stored value (at registration).
    void readStored(CHlmPlgAsyncElemRegistry& element) EXCLUDES(watchLock_);

    // Records without a watch (tests).
    size_t unwatchedRecordCount() EXCLUDES(watchLock_);

  private:
    using Element = CHlmPlgAsyncElemRegistry;
    using Selection = std::vector<CHlmPlgAsyncElem*>;
    struct Record {
        uint32_t root = 0;
        std::u16string subkey;  // as first met
        bool subtree = false;
        uint64_t watch = 0;  // in watches_; 0 while unwatched
        std::vector<Element*> elements;
    };

    // One run of the wait loop.
    class Run;
    // A record is watched while it has elements.
    platform::Status attach(CHlmPlgAsyncElem& element) override EXCLUDES(watchLock_);
    void detach(CHlmPlgAsyncElem& element) override EXCLUDES(watchLock_);

    platform::Status openStore() REQUIRES(watchLock_);
    platform::Status watchRecord(Record& record) REQUIRES(watchLock_);
    void unwatchRecord(Record& record) REQUIRES(watchLock_);
    void retryUnwatched(Selection& values) REQUIRES(watchLock_);
    void dropSessionWatches() REQUIRES(watchLock_) EXCLUDES(sidLock_);
    void fire(Record& record, Selection& keys, Selection& values) REQUIRES(watchLock_);
    bool valueChanged(Element& element) REQUIRES(watchLock_);
    // One wait's keys: the records that fired, the retries, a logoff.
    void handle(WaitLoopRun::Keys ready, bool woken) EXCLUDES(watchLock_);

    const std::filesystem::path storeDirectory_;
    common::Mutex watchLock_ ACQUIRED_BEFORE(sidLock_);
    registry::Store store_ GUARDED_BY(watchLock_);
    registry::KeyWatchSet watches_ GUARDED_BY(watchLock_);
    // By root, folded subkey, flag.
    std::unordered_map<std::string, Record> records_ GUARDED_BY(watchLock_);
    std::unordered_map<uint64_t, Record*> byWatch_ GUARDED_BY(watchLock_);
    std::unordered_set<Record*> unwatched_ GUARDED_BY(watchLock_);  // waiting for a retry
    platform::ManualEvent refresh_;
    common::Mutex sidLock_;
    std::u16string sid_ GUARDED_BY(sidLock_);
};

}  // namespace holm::async

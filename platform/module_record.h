// The record of modules loaded at run time that the loader alone does not
// keep: for each module, one value of the backend's (the path it was opened
// by, the file held open under it) and how many SharedLibrary objects refer
// to it. Private to the platform module's shared-library code.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace holm::platform {

template <class Key, class Value>
class ModuleRecord {
  public:
    // Records one more reference to `key`. The first value recorded for a
    // module is kept; a later one is handed back, for the caller to release.
    std::optional<Value> add(const Key& key, Value value) {
        std::lock_guard lock(mutex_);
        if (auto entry = modules_.find(key); entry != modules_.end()) {
            ++entry->second.references;
            return std::optional<Value>(std::move(value));
        }
        modules_.emplace(key, Entry{std::move(value), 1});
        return std::nullopt;
    }

    // Drops one reference. When it was the last, the entry is removed and
    // its value handed back, unless `keepEntry` (the loader still has the
    // module mapped, so its record must stay known).
    std::optional<Value> release(const Key& key, bool keepEntry = false) {
        std::lock_guard lock(mutex_);
        auto entry = modules_.find(key);
        if (entry == modules_.end() || --entry->second.references > 0 || keepEntry) {
            return std::nullopt;
        }
        std::optional<Value> value(std::move(entry->second.value));
        modules_.erase(entry);
        return value;
    }

    // A copy of the value recorded for `key`.
    std::optional<Value> find(const Key& key) const {
        std::lock_guard lock(mutex_);
        auto entry = modules_.find(key);
        if (entry == modules_.end()) {
            return std::nullopt;
        }
        return entry->second.value;
    }

  private:
    struct Entry {
        Value value;
        size_t references = 0;
    };

    mutable std::mutex mutex_;
    std::map<Key, Entry, std::less<>> modules_;
};

}  // namespace holm::platform

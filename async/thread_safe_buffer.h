// CThdSafeBufImpl: one text per calling thread, so that an operation can
// return a pointer to text that stays valid for its caller until that
// thread's next call, whatever other threads do meanwhile.
//
// Lookups of existing entries run together under a shared lock; adding a
// thread's first entry takes the lock exclusively. A thread's own string is
// only ever changed by that thread. Entries live as long as the object (one
// per distinct thread that ever called).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "common/mutex.h"

namespace holm::async {

class CThdSafeBufImpl {
  public:
    CThdSafeBufImpl() = default;
    virtual ~CThdSafeBufImpl() = default;
    CThdSafeBufImpl(const CThdSafeBufImpl&) = delete;
    CThdSafeBufImpl& operator=(const CThdSafeBufImpl&) = delete;

    // Stores a copy of `text` as the calling thread's text and returns it
    // (terminated); valid until this thread calls again or the object ends.
    const char16_t* setThreadText(std::u16string_view text) EXCLUDES(lock_);

  private:
    common::SharedMutex lock_;
    // Strings are held by pointer, so an insertion for another thread never
    // moves a text that was handed out.
    std::map<uint32_t, std::unique_ptr<std::u16string>> texts_ GUARDED_BY(lock_);
};

}  // namespace holm::async

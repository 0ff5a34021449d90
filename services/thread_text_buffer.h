// One text per calling thread, so that an operation can hand out a pointer
// that stays valid for that thread until its next call, whatever other
// threads do meanwhile.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>

namespace holm::services {

class CThdSafeBufImpl {
  public:
    virtual ~CThdSafeBufImpl() = default;

    // Stores a copy of `text` as the calling thread's text and returns it;
    // valid until the same thread calls again or the object is destroyed.
    const char16_t* setThreadText(std::u16string_view text);

  private:
    // Threads look up their own entries together; a thread's first entry is
    // added alone. A thread's entry is only ever changed by that thread.
    // Entries stay for the object's life (one per thread that ever called).
    std::shared_mutex lock_;
    std::map<uint32_t, std::unique_ptr<std::u16string>> texts_;
};

}  // namespace holm::services

// Binding of the system's file-system redirection functions. A platform that
// has them supplies a RedirectionBinder that loads the system library holding
// them; this platform has no such library, so its binder never loads one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace holm::services {

// The three functions as the system library exports them; any may be absent.
struct RedirectionFunctions {
    // Switches redirection off for the thread and stores the previous state;
    // returns 1 on success.
    int32_t (*disable)(void** savedState) = nullptr;
    // Switches redirection on (enable != 0) or off; returns 1 on success.
    uint8_t (*enable)(uint8_t enable) = nullptr;
    // Restores the state a disable stored; returns 1 on success.
    int32_t (*revert)(void* savedState) = nullptr;

    bool any() const { return disable != nullptr || enable != nullptr || revert != nullptr; }
};

// A loaded system library; unloaded when destroyed.
class RedirectionLibrary {
  public:
    virtual ~RedirectionLibrary() = default;
    // Looks the three functions up by name.
    virtual RedirectionFunctions functions() const = 0;
};

class RedirectionBinder {
  public:
    virtual ~RedirectionBinder() = default;
    // Loads the system library from the directory (ending in a separator);
    // null when it cannot be loaded.
    virtual std::unique_ptr<RedirectionLibrary> load(const std::u16string& systemDirectory) = 0;
};

// The binder of a system without redirection: it never loads a library.
class NullRedirectionBinder : public RedirectionBinder {
  public:
    std::unique_ptr<RedirectionLibrary> load(const std::u16string&) override { return nullptr; }
};

}  // namespace holm::services

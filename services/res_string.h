// The resource-string service (interface id 2): master texts, numbered
// strings of a chosen resource library or module, expanded and handed back
// through a per-thread result buffer.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "async/thread_safe_buffer.h"
#include "hlmplg/res_string.h"
#include "platform/result.h"
#include "services/text_library.h"

namespace holm::services {

// Registry roots a master text may name by its value.
inline constexpr uint32_t kRegistryRoots[] = {0x80000000, 0x80000001, 0x80000002,
                                              0x80000003, 0x80000004, 0x80000005,
                                              0x80000006, 0x80000050, 0x80000060};
inline constexpr uint32_t kLocalMachineRoot = 0x80000002;
// The longest product registry key handed out as it is.
inline constexpr size_t kMaxRegistryKeyUnits = 128;

class CResStringImplEx : public HlmPlg::IResString {
  public:
    // Takes a share of `state` (opening the master texts if this is the first
    // user) and opens a text handle over them. A failed open leaves no handle
    // and the thread's last error (1812 for a malformed master text entry).
    // `productRegistryKey` is what getMasterRegistryKey reports first.
    CResStringImplEx(MasterTextLibrary& state, std::u16string productRegistryKey);
    ~CResStringImplEx() override;
    CResStringImplEx(const CResStringImplEx&) = delete;
    CResStringImplEx& operator=(const CResStringImplEx&) = delete;

    const char16_t* getText(const char16_t* name) override;
    const char16_t* getTextById(uint32_t id) override;
    const char16_t* formatText(const char16_t* name, ...) override;
    const char16_t* formatTextById(uint32_t id, ...) override;
    const char16_t* getFilePath(const char16_t* name) override;
    const char16_t* getMasterRegistryKey() override;
    uint32_t getRegistryRoot(const char16_t* name) override;
    bool setResourceModule(void* module) override;
    bool setResourceLibrary(const char16_t* path) override;

    // The same results as owned texts, for callers inside the core.
    std::u16string expandedText(std::u16string_view name) const;
    std::u16string expandedString(uint32_t id) const;

  private:
    // Closes the current handle and opens one with `strings` (may be null).
    platform::Status reopen(std::shared_ptr<const NumberedStrings> strings) EXCLUDES(reopenLock_);
    std::u16string expand(std::u16string_view text) const;
    std::u16string formatted(const std::u16string& format, va_list arguments) const;
    // Stores `text` as the calling thread's result (the empty text when that
    // fails).
    const char16_t* result(std::u16string_view text);

    MasterTextLibrary& state_;
    const std::u16string productRegistryKey_;
    // Reads go to the handle without a lock; a reopen replaces it, and a
    // reader keeps the handle it took alive until it is done.
    std::atomic<std::shared_ptr<const TextHandle>> handle_;
    common::Mutex reopenLock_;
    bool holdsShare_ GUARDED_BY(reopenLock_) = false;  // of the process-wide state
    async::CThdSafeBufImpl results_;
};

}  // namespace holm::services

#include "services/res_string.h"

#include <new>
#include <stdexcept>

#include "common/format.h"
#include "common/utf16.h"
#include "platform/errors.h"
#include "platform/shared_library.h"
#include "services/master_text_expansion.h"
#include "utilities/path.h"
#include "utilities/string_utilities.h"

namespace holm::services {
namespace {

namespace util = Tandro::Utilities;
namespace WinError = platform::WinError;

constexpr size_t kRegistryRootTextUnits = 10;

// Runs `operation`; anything it raises becomes `fallback`, so nothing is
// thrown to the plugin that called.
template <typename Operation, typename Result>
Result guarded(Operation operation, Result fallback) {
    try {
        return operation();
    } catch (...) {
        return fallback;
    }
}

// What the plugin is told: true, or false with the error as the thread's last
// error.
bool reported(const platform::Status& status) {
    if (!status) {
        platform::setLastError(status.windowsError());
    }
    return status.ok();
}

}  // namespace

CResStringImplEx::CResStringImplEx(MasterTextLibrary& state, std::u16string productRegistryKey)
    : state_(state), productRegistryKey_(std::move(productRegistryKey)) {
    // A failure leaves no handle, and its error as the thread's last error.
    reported(reopen(nullptr));
}

CResStringImplEx::~CResStringImplEx() {
    handle_.store(nullptr);
    if (holdsShare_) {
        state_.release();
    }
}

platform::Status CResStringImplEx::reopen(std::shared_ptr<const NumberedStrings> strings) {
    common::MutexLock hold(reopenLock_);
    handle_.store(nullptr);
    if (holdsShare_) {
        state_.release();
    }
    uint32_t error = WinError::kSuccess;
    auto masters = state_.acquire(error);
    holdsShare_ = true;  // also when the open failed: the count is the users'
    if (!masters) {
        return platform::Error::windows(error);
    }
    handle_.store(std::make_shared<const TextHandle>(std::move(masters), std::move(strings)));
    return {};
}

std::u16string CResStringImplEx::expand(std::u16string_view text) const {
    const auto handle = handle_.load();
    if (!handle) {
        return {};
    }
    return expandMasterReferences(
        text, [&handle](std::u16string_view name) { return handle->masterText(name); });
}

std::u16string CResStringImplEx::expandedText(std::u16string_view name) const {
    const auto handle = handle_.load();
    return handle ? expand(readMasterText(*handle, name)) : std::u16string();
}

std::u16string CResStringImplEx::expandedString(uint32_t id) const {
    const auto handle = handle_.load();
    return handle ? expand(readString(*handle, id)) : std::u16string();
}

std::u16string CResStringImplEx::formatted(const std::u16string& format, va_list arguments) const {
    return format.empty() ? format : util::StringUtilities::SafeVSprintf(format.c_str(), arguments);
}

const char16_t* CResStringImplEx::getText(const char16_t* name) {
    return result(guarded([&] { return expandedText(common::viewOf(name)); }, std::u16string()));
}

const char16_t* CResStringImplEx::getTextById(uint32_t id) {
    return result(guarded([&] { return expandedString(id); }, std::u16string()));
}

const char16_t* CResStringImplEx::formatText(const char16_t* name, ...) {
    va_list arguments;
    va_start(arguments, name);
    std::u16string text = guarded(
        [&] { return formatted(expandedText(common::viewOf(name)), arguments); }, std::u16string());
    va_end(arguments);
    return result(text);
}

const char16_t* CResStringImplEx::formatTextById(uint32_t id, ...) {
    va_list arguments;
    va_start(arguments, id);
    std::u16string text =
        guarded([&] { return formatted(expandedString(id), arguments); }, std::u16string());
    va_end(arguments);
    return result(text);
}

// Paths keep their case: this platform's file names are case-sensitive, and
// a lower-cased path would name another file or none.
const char16_t* CResStringImplEx::getFilePath(const char16_t* name) {
    return result(guarded(
        [&] {
            const std::u16string_view given = common::viewOf(name);
            if (!given.empty() && given.front() == u'#') {
                const std::u16string value = expandedText(given);
                return value.empty() ? value : util::Path::Combine(state_.directory(), value);
            }
            return util::Path::Combine(state_.directory(), given);
        },
        std::u16string()));
}

const char16_t* CResStringImplEx::getMasterRegistryKey() {
    if (!productRegistryKey_.empty() && productRegistryKey_.size() <= kMaxRegistryKeyUnits) {
        return result(productRegistryKey_);
    }
    return result(guarded([&] { return expandedText(u"#REGMASTERKEY"); }, std::u16string()));
}

uint32_t CResStringImplEx::getRegistryRoot(const char16_t* name) {
    return guarded(
        [&] {
            const std::u16string value = expandedText(common::viewOf(name));
            if (value.size() < kRegistryRootTextUnits) {
                return kLocalMachineRoot;
            }
            const std::u16string_view prefix =
                std::u16string_view(value).substr(0, kRegistryRootTextUnits);
            for (const uint32_t root : kRegistryRoots) {
                if (prefix == common::format(u"0x%08x", root)) {
                    return root;
                }
            }
            return kLocalMachineRoot;
        },
        kLocalMachineRoot);
}

const char16_t* CResStringImplEx::result(std::u16string_view text) {
    try {
        return results_.setThreadText(text);
    } catch (...) {
        return u"";  // no memory for this thread's result: the empty text
    }
}

bool CResStringImplEx::setResourceModule(void* module) {
    return guarded(
        [&] {
            const auto table = platform::moduleExportedBlock(module, HlmPlg::kResourceTableSymbol,
                                                             HlmPlg::kResourceTableSizeSymbol);
            if (!table) {
                return reported(platform::Error::windows(WinError::kResourceDataNotFound));
            }
            return reported(reopen(NumberedStrings::fromTable(table->data(), table->size())));
        },
        false);
}

bool CResStringImplEx::setResourceLibrary(const char16_t* path) {
    return guarded(
        [&] {
            const std::u16string full =
                util::Path::Combine(state_.directory(), common::viewOf(path));
            std::shared_ptr<const NumberedStrings> strings;
            try {
                strings = NumberedStrings::fromLibrary(common::utf16ToUtf8(full),
                                                       common::utf16ToUtf8(state_.directory()));
            } catch (const util::ResourceFileError&) {
                return reported(platform::Error::windows(WinError::kResourceDataNotFound));
            }
            return reported(reopen(std::move(strings)));
        },
        false);
}

}  // namespace holm::services

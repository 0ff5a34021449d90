#include <cerrno>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/unique_handle.h"
#include "platform/win/handle_waits.h"
#include "platform/win/native.h"

namespace holm::platform {
namespace win {
namespace {

// Far above what the service keeps open; a bound all the same, so that a
// leak shows as EMFILE rather than as memory.
constexpr size_t kMaxDescriptors = 1u << 20;
constexpr int kFirstDescriptor = 3;

struct Slot {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HandleKind kind = HandleKind::Other;
    std::shared_ptr<Attachment> attachment;
};

struct Table {
    std::mutex lock;
    std::vector<Slot> slots;  // index = descriptor - kFirstDescriptor
    size_t lowestFree = 0;
};

Table& table() {
    static Table* instance = new Table;  // lives until the process ends
    return *instance;
}

HANDLE standardHandle(int fd) {
    static constexpr DWORD kWhich[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE handle = ::GetStdHandle(kWhich[fd]);
    return handle == nullptr ? INVALID_HANDLE_VALUE : handle;
}

}  // namespace

int adoptHandle(HANDLE handle, HandleKind kind, std::shared_ptr<Attachment> attachment) {
    Table& t = table();
    std::lock_guard guard(t.lock);
    size_t index = t.lowestFree;
    while (index < t.slots.size() && t.slots[index].handle != INVALID_HANDLE_VALUE) {
        ++index;
    }
    if (index == t.slots.size()) {
        if (t.slots.size() >= kMaxDescriptors) {
            ::CloseHandle(handle);
            errno = EMFILE;
            return -1;
        }
        t.slots.emplace_back();
    }
    t.slots[index] = {handle, kind, std::move(attachment)};
    t.lowestFree = index + 1;
    return static_cast<int>(index) + kFirstDescriptor;
}

HANDLE handleOf(int fd) {
    if (fd >= 0 && fd < kFirstDescriptor) {
        return standardHandle(fd);
    }
    Table& t = table();
    std::lock_guard guard(t.lock);
    const size_t index = static_cast<size_t>(fd) - kFirstDescriptor;
    if (fd < kFirstDescriptor || index >= t.slots.size() ||
        t.slots[index].handle == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return INVALID_HANDLE_VALUE;
    }
    return t.slots[index].handle;
}

HandleKind kindOf(int fd) {
    Table& t = table();
    std::lock_guard guard(t.lock);
    const size_t index = static_cast<size_t>(fd) - kFirstDescriptor;
    return fd >= kFirstDescriptor && index < t.slots.size() ? t.slots[index].kind
                                                            : HandleKind::Other;
}

std::shared_ptr<Attachment> attachmentOf(int fd) {
    Table& t = table();
    std::lock_guard guard(t.lock);
    const size_t index = static_cast<size_t>(fd) - kFirstDescriptor;
    return fd >= kFirstDescriptor && index < t.slots.size() ? t.slots[index].attachment : nullptr;
}

bool closeDescriptor(int fd) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::shared_ptr<Attachment> attachment;
    {
        Table& t = table();
        std::lock_guard guard(t.lock);
        const size_t index = static_cast<size_t>(fd) - kFirstDescriptor;
        if (fd < kFirstDescriptor || index >= t.slots.size()) {
            errno = EBADF;
            return false;
        }
        handle = std::exchange(t.slots[index].handle, INVALID_HANDLE_VALUE);
        attachment = std::move(t.slots[index].attachment);
        t.lowestFree = std::min(t.lowestFree, index);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return false;
    }
    // A closed descriptor leaves the wait sets it is in, as with epoll.
    endWaitsOn(handle);
    attachment.reset();  // it may still cancel I/O on the handle
    return ::CloseHandle(handle) != 0;
}

}  // namespace win

void FdTraits::close(int fd) noexcept {
    (void)win::closeDescriptor(fd);  // nothing to do about a failed close
}

}  // namespace holm::platform

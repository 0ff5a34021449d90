#include "utilities/shared_handle.h"

#include "platform/local_event.h"

namespace Tandro::Utilities {

SharedHandle::SharedHandle(holm::platform::UniqueFd handle) {
    if (handle) {
        owner_ = std::make_shared<const holm::platform::UniqueFd>(std::move(handle));
    }
}

SharedHandle EventAccessControl::CreateLocalEvent(bool /*manualReset*/, bool initialState) {
    // An event that cannot be created is an invalid handle, as on Windows.
    return SharedHandle(holm::platform::createLocalEvent(initialState).valueOr({}));
}

bool EventAccessControl::SetEvent(const SharedHandle& event) {
    return event && holm::platform::setLocalEvent(event.get()).ok();
}

bool EventAccessControl::IsEventSet(const SharedHandle& event) {
    return event && holm::platform::isLocalEventSet(event.get());
}

}  // namespace Tandro::Utilities

#include "utilities/shared_handle.h"

#include "platform/local_event.h"

namespace Tandro::Utilities {

SharedHandle::SharedHandle(holm::platform::UniqueFd handle) {
    if (handle) {
        owner_ = std::make_shared<const holm::platform::UniqueFd>(std::move(handle));
    }
}

SharedHandle EventAccessControl::CreateLocalEvent(bool /*manualReset*/, bool initialState) {
    return SharedHandle(holm::platform::createLocalEvent(initialState));
}

bool EventAccessControl::SetEvent(const SharedHandle& event) {
    return event && holm::platform::setLocalEvent(event.get());
}

bool EventAccessControl::IsEventSet(const SharedHandle& event) {
    return event && holm::platform::isLocalEventSet(event.get());
}

}  // namespace Tandro::Utilities

#include "services/wow64_fs_redir.h"

namespace holm::services {

CWow64FSRedir::CWow64FSRedir(std::u16string systemDirectory,
                             std::unique_ptr<holm::services::RedirectionBinder> binder)
    : binder_(std::move(binder)), systemDirectory_(std::move(systemDirectory)) {}

bool CWow64FSRedir::bind() {
    if (library_) {
        return true;
    }
    if (!binder_) {
        return false;
    }
    auto library = binder_->load(systemDirectory_);
    if (!library) {
        return false;
    }
    const auto functions = library->functions();
    if (!functions.any()) {
        return false;  // the library is unloaded as it goes out of scope
    }
    library_ = std::move(library);
    functions_ = functions;
    return true;
}

bool CWow64FSRedir::enableRedirection() {
    return bind() && functions_.enable != nullptr && functions_.enable(1) == 1;
}

bool CWow64FSRedir::disableRedirection() {
    return bind() && functions_.disable != nullptr && functions_.disable(&savedState_) == 1;
}

bool CWow64FSRedir::revertRedirection() {
    return bind() && functions_.revert != nullptr && functions_.revert(savedState_) == 1;
}

}  // namespace holm::services

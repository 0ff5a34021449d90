// The parts of shared libraries that are the same on every system: an
// object's lifetime and the look-up of a module by its file.
#include "platform/shared_library.h"

namespace holm::platform {

SharedLibrary::~SharedLibrary() {
    close();
}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::move(other.handle_);
        path_ = std::move(other.path_);
        id_ = other.id_;
        loaderName_ = std::move(other.loaderName_);
        other.loaderName_.clear();
    }
    return *this;
}

bool isModuleLoaded(FileIdentity id) {
    for (const FileIdentity& loaded : loadedModuleIds()) {
        if (loaded == id) {
            return true;
        }
    }
    return false;
}

}  // namespace holm::platform

#include "utilities/di_container.h"

#include <stdexcept>

namespace Tandro::Utilities {
namespace {

std::logic_error creationFailed(const char* typeName) {
    return std::logic_error(std::string("Creation of instance for ") + typeName +
                            " failed. Did you try to create the instance after calling Clear()?");
}

}  // namespace

DiContainer& DiContainer::Instance() {
    static DiContainer container;
    return container;
}

void DiContainer::Initialize() {
    std::lock_guard lock(mutex_);
    initialized_ = true;
    cleared_ = false;
}

void DiContainer::Clear() {
    std::map<std::type_index, std::shared_ptr<void>> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(instances_);
        cleared_ = true;
    }
    // `dropped` goes here, outside the lock: a service's destructor may use
    // the container.
}

std::shared_ptr<void> DiContainer::get(std::type_index type, const char* typeName) {
    std::lock_guard lock(mutex_);
    if (!initialized_) {
        throw std::logic_error("Use DiContainer before it is initialized");
    }
    if (auto found = instances_.find(type); found != instances_.end()) {
        return found->second;
    }
    auto factory = factories_.find(type);
    if (factory == factories_.end()) {
        throw std::logic_error(std::string("No factory function registered for: ") + typeName);
    }
    // A factory that (through others) asks for its own type would recurse
    // without end; that request fails instead.
    if (cleared_ || !inCreation_.insert(type).second) {
        throw creationFailed(typeName);
    }
    // A copy: the factory may register factories while it runs.
    const auto make = factory->second;
    std::shared_ptr<void> instance;
    try {
        instance = make();
    } catch (...) {
        inCreation_.erase(type);
        std::throw_with_nested(creationFailed(typeName));
    }
    inCreation_.erase(type);
    if (!instance) {
        throw creationFailed(typeName);
    }
    instances_.emplace(type, instance);
    return instance;
}

}  // namespace Tandro::Utilities

// The product's service locator: one instance per service interface, made on
// first request by a factory function registered for that interface.
//
// Every interface served here names itself with a static member
// `kDiTypeName` (for example "IProductSettings"); that name appears in the
// container's error texts.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <typeindex>

namespace Tandro::Utilities {

// Thread-safe. A factory may itself ask the container for other services.
class DiContainer {
  public:
    template <typename T>
    using Factory = std::function<std::shared_ptr<T>()>;

    // The process-wide container the product's components share.
    static DiContainer& Instance();

    // Registers (or replaces) the factory for `T`; allowed before Initialize().
    template <typename T>
    void Register(Factory<T> factory) {
        std::lock_guard lock(mutex_);
        factories_[typeid(T)] = [factory = std::move(factory)]() -> std::shared_ptr<void> {
            return factory();
        };
    }

    // Allows Get() and creation of instances (again, after Clear()).
    void Initialize();

    // The one instance of `T`, made by its factory on first request.
    // Raises std::logic_error with "Use DiContainer before it is initialized"
    // before Initialize(); "No factory function registered for: <name>" when
    // nothing provides `T`; "Creation of instance for <name> failed. ..." when
    // the factory throws or gives nothing, or after Clear().
    template <typename T>
    std::shared_ptr<T> Get() {
        return std::static_pointer_cast<T>(get(typeid(T), T::kDiTypeName));
    }

    // Drops every instance (they are destroyed with their last user). The
    // factories stay registered, but no new instance is made until the next
    // Initialize(): a component still running at shut-down cannot bring a
    // service back to life.
    void Clear();

  private:
    std::shared_ptr<void> get(std::type_index type, const char* typeName);

    std::recursive_mutex mutex_;
    bool initialized_ = false;
    bool cleared_ = false;
    std::map<std::type_index, std::function<std::shared_ptr<void>()>> factories_;
    std::map<std::type_index, std::shared_ptr<void>> instances_;
    std::set<std::type_index> inCreation_;
};

}  // namespace Tandro::Utilities

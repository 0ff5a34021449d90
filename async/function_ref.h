// A non-owning reference to a callable, for calls that run it before they
// return: no allocation, unlike std::function.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace holm::async {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
  public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
    FunctionRef(F&& callable) noexcept  // NOLINT: converts like a function pointer
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
          invoke_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(
                  std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return invoke_(object_, std::forward<Args>(args)...); }

  private:
    void* object_;
    R (*invoke_)(void*, Args...);
};

}  // namespace holm::async

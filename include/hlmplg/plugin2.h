// Second-generation plugin objects: reference-counted, found by an ASCII
// factory name and an ASCII type name.
#pragma once

#include <atomic>
#include <cstdint>

#include "hlmplg/export.h"

namespace HlmPlg {

class IHlmCore;
class IPluginManager2;

// The creator holds the first reference (the count is 1 at construction);
// release() of the last reference destroys the object.
class HLMPLG_API IPluginObject2 {
  public:
    virtual uint32_t addRef() = 0;
    virtual uint32_t release() = 0;
    virtual const char* getTypeName() = 0;

  protected:
    virtual ~IPluginObject2() = default;
};

// The root object of a second-generation plugin library.
class HLMPLG_API IHolmPlugin2 : public IPluginObject2 {
  public:
    // 0 for success. The manager's lock is not held: the plugin may ask the
    // manager for objects of plugins loaded before it.
    virtual uint32_t init(IPluginManager2* manager) = 0;
    virtual void uninit() = 0;
    // 0 for success; a failed start is tried again by the next start pass.
    virtual uint32_t start() = 0;
    virtual void stop() = 0;
    virtual void onStarted() {}
    // A new object of `typeName` (its count is 1, the caller's), or null.
    virtual IPluginObject2* createObject(const char* typeName) = 0;
};

// The broker of second-generation objects (one per process).
class HLMPLG_API IPluginManager2 {
  public:
    // An object of `typeName` from the loaded plugin whose root is named
    // `factoryName` (names compared exactly), or null. Only plugins that
    // started, or that called setAvailableAfterInit in their init, answer.
    virtual IPluginObject2* createObject(const char* factoryName, const char* typeName) = 0;
    // Called by a plugin from inside its init: its objects may be created
    // from then on, and the start and stop passes leave it alone.
    virtual void setAvailableAfterInit() = 0;
    virtual ~IPluginManager2() = default;
    // The core the manager serves (null before its initialisation).
    virtual IHlmCore* getCore() = 0;
};

// The factory name of the core library's gateway and the type names it
// serves.
inline constexpr const char* kGatewayFactoryName = "Holm/Gateway/1.0";

// Reference counting for plugin authors: derive an implementation from
// RefCounted<Interface>; the object starts with one reference (its
// creator's) and deletes itself when the last is released. The destructor
// of the implementation should be private or protected.
template <class Interface>
class RefCounted : public Interface {
  public:
    uint32_t addRef() override { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
    // The caller's reference being the only one, no other thread can take
    // or drop one: the object goes without a locked decrement.
    uint32_t release() override {
        if (count_.load(std::memory_order_acquire) == 1) {
            delete this;
            return 0;
        }
        const uint32_t left = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

  protected:
    RefCounted() = default;
    ~RefCounted() override = default;

  private:
    std::atomic<uint32_t> count_{1};
};

// Holds one reference to a second-generation object and releases it.
template <class T>
class RefPtr {
  public:
    RefPtr() = default;
    // Takes over a reference the caller owns.
    explicit RefPtr(T* adopted) : object_(adopted) {}
    RefPtr(const RefPtr&) = delete;
    RefPtr& operator=(const RefPtr&) = delete;
    RefPtr(RefPtr&& other) noexcept : object_(other.detach()) {}
    RefPtr& operator=(RefPtr&& other) noexcept {
        if (this != &other) {
            reset(other.detach());
        }
        return *this;
    }
    ~RefPtr() { reset(); }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    T* detach() {
        T* object = object_;
        object_ = nullptr;
        return object;
    }
    void reset(T* adopted = nullptr) {
        T* old = object_;
        object_ = adopted;
        if (old != nullptr) {
            old->release();
        }
    }

  private:
    T* object_ = nullptr;
};

}  // namespace HlmPlg

// The entry point a second-generation plugin library exports: its root
// object for `factoryName`, or null.
#define HLMPLG_PLUGIN_FACTORY                                                                \
    extern "C" __attribute__((visibility("default"))) HlmPlg::IPluginObject2* PluginFactory( \
        const char* factoryName)

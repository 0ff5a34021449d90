// The plugin object base class and the facade through which plugins obtain
// service objects.
#pragma once

#include <cstdint>

#include "hlmplg/exceptions.h"
#include "hlmplg/export.h"
#include "hlmplg/interface.h"

namespace HlmPlg {

class ICmdLine;
class IConfig;

// Interface version of this framework generation. A first-generation plugin
// must report a version whose top byte is 4.
inline constexpr uint32_t kFrameworkVersion = 0x04000200;

class CHlmPlg;

// The facade (one per core) that brokers creation and release of service
// objects by interface id.
class HLMPLG_API IHlmPlg {
  public:
    virtual ~IHlmPlg() = default;

    // Makes `provider` the provider of `id`, replacing any earlier one.
    virtual bool registerProvider(int32_t id, CHlmPlg* provider) = 0;
    // Removes the provider of `id` (whoever it is).
    virtual bool unregisterProvider(int32_t id, CHlmPlg* provider) = 0;
    // A new object for `id` from its provider, or null.
    virtual IInterface* createInterface(CHlmPlg* owner, int32_t id) = 0;
    // Hands an object back to the provider that made it.
    virtual void releaseInterface(CHlmPlg* owner, int32_t id, IInterface* object) = 0;
    // Records that `owner` needs `id` in `*variable` from its start to its
    // stop; sets the variable to null. Returns the number of declarations.
    virtual int32_t declareInterface(CHlmPlg* owner, int32_t id, IInterface** variable,
                                     bool required) = 0;
    // Attaches a handler to a declared interface; an owned handler is
    // destroyed by the facade when the interface goes away.
    virtual void setInterfaceHandler(CHlmPlg* owner, IInterface** variable, IHandler* handler,
                                     bool owned) = 0;
    // Creates every interface `owner` declared; false when a required one
    // cannot be had.
    virtual bool acquireInterfaces(CHlmPlg* owner) = 0;
    // Releases every interface `owner` declared.
    virtual bool releaseInterfaces(CHlmPlg* owner) = 0;
};

// Base of every plugin object and of every interface provider.
class HLMPLG_API CHlmPlg {
  public:
    static constexpr int kNameLength = 64;

    CHlmPlg(const char16_t* name = u"", IHlmPlg* facade = nullptr) : m_facade(facade) {
        setName(name);
    }
    virtual ~CHlmPlg() = default;

    virtual uint32_t getVersion() { return kFrameworkVersion; }
    virtual const char16_t* getName() { return m_name; }
    virtual bool handleCmdLine(ICmdLine* cmdLine) { return false; }
    virtual bool test(const char16_t* argument) { return true; }
    virtual bool load() { return true; }
    virtual bool unload() { return true; }
    // Creates the declared interfaces; a plugin that overrides start() calls
    // this base operation.
    virtual bool start() {
        return withLastError([&] { return m_facade && m_facade->acquireInterfaces(this); });
    }
    // Releases the declared interfaces; overriding stop() calls this base.
    virtual bool stop() {
        return withLastError([&] { return m_facade && m_facade->releaseInterfaces(this); });
    }
    virtual bool isInstalled(IConfig* config) { return true; }
    virtual uint32_t getLastError() { return m_lastError; }
    // A provider's factory: the base provides nothing.
    virtual IInterface* createInterface(int32_t id) { return nullptr; }
    // A provider's release: destroys the object; null is ignored.
    virtual void releaseInterface(IInterface* object) { delete object; }

    IHlmPlg* getFacade() const { return m_facade; }
    void setFacade(IHlmPlg* facade) { m_facade = facade; }

  protected:
    // Declares the interface `id` to be held in `*variable` while the plugin
    // runs. T must have IInterface as its first base (every service
    // interface does).
    template <typename T>
    int32_t declareInterface(int32_t id, T** variable, bool required) {
        return m_facade->declareInterface(this, id, reinterpret_cast<IInterface**>(variable),
                                          required);
    }
    template <typename T>
    void setInterfaceHandler(T** variable, IHandler* handler, bool owned) {
        m_facade->setInterfaceHandler(this, reinterpret_cast<IInterface**>(variable), handler,
                                      owned);
    }
    // Facade calls made on the plugin's behalf, with the last-error rule.
    IInterface* createInterfaceFromFacade(int32_t id) {
        return withLastError([&] { return m_facade->createInterface(this, id); });
    }
    void releaseInterfaceToFacade(int32_t id, IInterface* object) {
        withLastError([&] {
            m_facade->releaseInterface(this, id, object);
            return true;
        });
    }

    void setName(const char16_t* name) {
        int i = 0;
        for (; name && name[i] && i < kNameLength - 1; ++i) {
            m_name[i] = name[i];
        }
        m_name[i] = 0;
    }
    void setLastError(uint32_t error) { m_lastError = error; }

    char16_t m_name[kNameLength] = {};
    IHlmPlg* m_facade = nullptr;
    uint32_t m_lastError = 0;

  private:
    // Runs a facade call; an exception sets the last error (its code for a
    // CHlmException, -1 for anything else) and travels on.
    template <typename Call>
    auto withLastError(Call call) -> decltype(call()) {
        try {
            return call();
        } catch (const CHlmException& exception) {
            m_lastError = exception.getErrorCode();
            throw;
        } catch (...) {
            m_lastError = static_cast<uint32_t>(-1);
            throw;
        }
    }
};

}  // namespace HlmPlg

// Entry points a first-generation plugin library exports.
#define HLMPLG_PLUGIN_ENTRY                                                           \
    extern "C" __attribute__((visibility("default"))) HlmPlg::CHlmPlg* getHlmPlugin2( \
        HlmPlg::IHlmPlg* facade, const char16_t* params)
#define HLMPLG_PLUGIN_FREE \
    extern "C" __attribute__((visibility("default"))) void freeHlmPlugin(HlmPlg::CHlmPlg* plugin)

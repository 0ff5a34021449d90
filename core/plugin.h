// The wrapper around one loaded plugin: its library, its plugin object and
// its lifecycle state. Every call into the plugin, its destruction included,
// goes through the plugin boundary (core/plugin_boundary.h): an exception or
// a processor fault in plugin code becomes a failed call and a report to the
// service handlers instead of reaching the core.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "hlmplg/plugin.h"
#include "hlmplg/service.h"
#include "platform/shared_library.h"

namespace holm::core {

// What a plugin library exports.
using GetHlmPlugin2Function = HlmPlg::CHlmPlg* (*)(HlmPlg::IHlmPlg* facade, const char16_t* params);
using FreeHlmPluginFunction = void (*)(HlmPlg::CHlmPlg* plugin);

class CPlugin {
  public:
    enum State : uint32_t { kLoaded = 0, kStarted = 1, kStopped = 2, kUnloaded = 3 };

    // Results of loadPlugin.
    static constexpr int32_t kVersionAccepted = 0;
    static constexpr int32_t kVersionRefused = 2;
    static constexpr int32_t kVersionException = -1;

    // Takes ownership of `library` and `plugin` (made by the library's
    // getHlmPlugin2). `service` receives exception reports; may be null.
    CPlugin(HlmPlg::IService* service, platform::SharedLibrary library, std::u16string name,
            HlmPlg::CHlmPlg* plugin);
    // Destroys the plugin object (freeHlmPlugin when exported, else its
    // virtual destructor) and then frees the library, unless abandon() was
    // called or the destruction faulted.
    ~CPlugin();
    CPlugin(const CPlugin&) = delete;
    CPlugin& operator=(const CPlugin&) = delete;

    // Reads and stores the plugin's version: 0 for a 4.x plugin, 2 for any
    // other, -1 when the call threw.
    int32_t loadPlugin();
    bool load();
    bool unload();
    bool start();
    bool stop();
    bool handleCmdLine(HlmPlg::ICmdLine* cmdLine);
    bool test(const char16_t* argument);
    bool isInstalled(HlmPlg::IConfig* config);
    uint32_t getLastError();

    // Leaves the plugin object alive and the library mapped for good: for a
    // plugin whose code or objects may still be reached (see the manager).
    void abandon();

    const std::u16string& name() const { return name_; }
    // The file-name part of the library's path.
    const std::u16string& libraryName() const { return libraryName_; }
    HlmPlg::CHlmPlg* object() const { return plugin_; }
    const platform::SharedLibrary& library() const { return library_; }
    uint32_t version() const { return version_; }
    State state() const { return state_; }
    // Whether a processor fault was raised in a call of this wrapper or in
    // any code of the plugin's library: frames were never unwound, so its
    // library must stay mapped.
    bool faulted() const;
    // Calls of this wrapper that ended in an exception or a processor fault
    // the boundary contained.
    uint32_t faultsContained() const { return faultsContained_; }

  private:
    // Runs `call` across the plugin boundary under the place name
    // "CPlugin(<name>)::<method>"; `failed` is the result when it failed.
    template <typename Result, typename Call>
    Result shielded(const char16_t* method, Result failed, Call call);
    std::u16string placeName(const char16_t* method) const;
    bool changeState(const char16_t* method, bool (HlmPlg::CHlmPlg::*call)(), State next);
    void destroyObject() noexcept;

    std::u16string name_;
    std::u16string libraryName_ = u"UNKNOWN.DLL";
    HlmPlg::CHlmPlg* plugin_;
    platform::SharedLibrary library_;
    uint32_t version_ = 0;
    State state_ = kUnloaded;
    HlmPlg::IService* service_;
    bool faulted_ = false;
    uint32_t faultsContained_ = 0;
};

}  // namespace holm::core

// libdemo_service.so, the example plugin "demo".
//
// A complete first-generation plugin, built against the SDK alone
// (include/hlmplg/hlmplg.h). It shows:
//   - the entry points getHlmPlugin2 / freeHlmPlugin;
//   - declaring an interface while loading and receiving it when started;
//   - attaching a handler to that interface, owned by the core;
//   - reporting through the service object (IService::broadcastMessage);
//   - the "test" option (`avholm plugins.xml /test=demo=hello`);
//   - looking at the command line without taking it over.
//
// The host logs the core's own lines for every phase ("PM(demo): calling
// Start() ... done"); what the plugin broadcasts reaches every registered
// service handler, the plugin's own among them.
#include <string>

#include "hlmplg/hlmplg.h"

namespace {

// Log level of a broadcast: 0 is an error, 1 information.
constexpr uint32_t kInfo = 1;

// Receives the service side's notifications. The core calls onRunning once
// every plugin has started, and onStopping on a thread of its own when the
// core begins to stop. A real plugin starts and stops its background work
// here; it should not call back into the core from these notifications, and
// must expect onStopping on another thread than its own calls.
class DemoServiceHandler : public HlmPlg::IServiceHandler {
  public:
    void onRunning() override {}
    void onStopping() override {}
};

class DemoPlugin : public HlmPlg::CHlmPlg {
  public:
    // The name given here is what getName() reports; the core itself names
    // the plugin after its list entry.
    explicit DemoPlugin(HlmPlg::IHlmPlg* facade) : CHlmPlg(u"demo", facade) {}

    // The core calls load() once per load phase, before anything started.
    // Here a plugin declares the interfaces it needs: the core fills
    // m_service when the plugin starts and clears it when it stops.
    bool load() override {
        if (!m_declared) {
            // Declarations are kept for the plugin's lifetime: declare once,
            // even if the plugin is loaded again after an unload.
            declareInterface(HlmPlg::IID_SERVICE, &m_service, true);
            // The core registers the handler on the service object when it
            // acquires it, unregisters it when it releases it and - because
            // it is handed over as owned - destroys it with the interface
            // (also right away, should acquiring the service fail).
            setInterfaceHandler(&m_service, new DemoServiceHandler, true);
            m_declared = true;
        }
        return true;
    }

    // The base start() acquires the declared interfaces; overriding start()
    // must call it. A required interface that cannot be had makes it fail,
    // and with it the plugin's start.
    bool start() override {
        if (!CHlmPlg::start()) {
            return false;
        }
        m_service->broadcastMessage(u"demo: started", kInfo);
        return true;
    }

    // Broadcast while the service object is still held, then let the base
    // stop() release it (which also unregisters and destroys the handler).
    bool stop() override {
        if (m_service != nullptr) {
            m_service->broadcastMessage(u"demo: stopping", kInfo);
        }
        return CHlmPlg::stop();
    }

    // `avholm ... /test=demo=<argument>` (or /test=all=<argument>) calls
    // this once the plugins run; the core logs the result.
    bool test(const char16_t* argument) override {
        std::u16string text = u"demo: test(";
        text += argument ? argument : u"";
        text += u")";
        if (m_service != nullptr) {
            m_service->broadcastMessage(text.c_str(), kInfo);
        }
        return true;
    }

    // Once every plugin has started, the host offers the command line to
    // each plugin in list order. True means "I handled a one-shot command":
    // the host then stops right away and exits with the code this plugin set
    // (IService::stopService), or 0. The demo only reports the value of a
    // /demo switch (`avholm plugins.xml /demo=hello`) and declines.
    bool handleCmdLine(HlmPlg::ICmdLine* cmdLine) override {
        if (cmdLine != nullptr && cmdLine->hasSwitch(u"demo") && m_service != nullptr) {
            const std::u16string text =
                u"demo: /demo=" + std::u16string(cmdLine->getSwitchValue(u"demo"));
            m_service->broadcastMessage(text.c_str(), kInfo);
        }
        return false;
    }

  private:
    HlmPlg::IService* m_service = nullptr;
    bool m_declared = false;
};

}  // namespace

// The core calls getHlmPlugin2 right after loading the library, with its
// facade and the entry's params text. Returning null declines the load.
// Nothing may throw across this boundary.
HLMPLG_PLUGIN_ENTRY {
    try {
        return new DemoPlugin(facade);
    } catch (...) {
        return nullptr;
    }
}

// Optional: when exported, the core destroys the plugin object through it,
// so the object is freed by the library that allocated it.
HLMPLG_PLUGIN_FREE {
    delete plugin;
}

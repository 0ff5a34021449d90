// A plugin that misbehaves in one chosen call into its code, for the plugin
// boundary tests. Params fields (separated by ','):
//   name=<name>     the plugin's name (default "hostile")
//   at=<call>       where to misbehave: getHlmPlugin2, load, start, stop,
//                   unload, handleCmdLine, test, destructor, freeHlmPlugin,
//                   handlerDestructor, onRunning, onStopping, onControl,
//                   onMessage, onSelftestFailed, onException,
//                   createInterface, releaseInterface
//   do=<action>     throw (std::runtime_error "hostile"), foreign (throws an
//                   int), fault (writes to address 0), divide (integer
//                   division by zero), reenter (calls back into the core:
//                   declares an interface, releases an object twice and a
//                   pointer it never got, registers and unregisters a
//                   second service handler), hang (writes "hostile: hanging
//                   in <call>" to standard error and never returns), none
//   requires=<id>   declares id as required too (a Start that fails after
//                   the base start acquired the service object)
//
// Like the service example it declares IService while it loads and attaches
// a service handler owned by the core. While it starts it registers as the
// provider of id 60, creates and releases one object of it, broadcasts a
// message, self-tests a missing file and reports an exception, so that every
// kind of handler callback and provider call runs. Calls are recorded like
// the other test plugins' (HOLM_TEST_PLUGIN_LOG). Built without sanitizers,
// like the faulting plugin: the faults must reach the core's handler.
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>

#include "hlmplg/hlmplg.h"

namespace {

constexpr int32_t kProvidedId = 60;

volatile uintptr_t gZero = 0;

std::string narrow(const char16_t* text) {
    std::string result;
    for (; text != nullptr && *text != 0; ++text) {
        result += static_cast<char>(*text);
    }
    return result;
}

void record(const std::string& name, const std::string& call) noexcept {
    const char* path = std::getenv("HOLM_TEST_PLUGIN_LOG");
    if (path == nullptr || *path == '\0') {
        return;
    }
    try {
        std::ofstream(path, std::ios::app | std::ios::binary) << name + ":" + call + "\n";
    } catch (...) {  // a lost line shows as missing in the test
    }
}

std::string field(const std::string& params, const std::string& key) {
    size_t begin = 0;
    while (begin <= params.size()) {
        size_t end = params.find(',', begin);
        if (end == std::string::npos) {
            end = params.size();
        }
        const std::string part = params.substr(begin, end - begin);
        if (part.rfind(key + "=", 0) == 0) {
            return part.substr(key.size() + 1);
        }
        begin = end + 1;
    }
    return {};
}

struct Options {
    std::string name = "hostile";
    std::string at;
    std::string action;
    int32_t required = 0;
};

// What a call back into the core needs: set while the plugin object lives.
struct Reentry {
    HlmPlg::IHlmPlg* facade = nullptr;
    HlmPlg::CHlmPlg* plugin = nullptr;
    HlmPlg::IService** service = nullptr;
};
Reentry gReentry;
HlmPlg::IInterface* gDeclaredFromCallback = nullptr;

class ExtraHandler : public HlmPlg::IServiceHandler {};

void reenter() {
    if (gReentry.facade == nullptr || gReentry.plugin == nullptr) {
        return;
    }
    HlmPlg::IHlmPlg& facade = *gReentry.facade;
    facade.declareInterface(gReentry.plugin, HlmPlg::IID_STRINGLIST, &gDeclaredFromCallback, false);
    HlmPlg::IInterface* list = facade.createInterface(gReentry.plugin, HlmPlg::IID_STRINGLIST);
    facade.releaseInterface(gReentry.plugin, HlmPlg::IID_STRINGLIST, list);
    facade.releaseInterface(gReentry.plugin, HlmPlg::IID_STRINGLIST, list);  // twice
    HlmPlg::IInterface foreign;
    facade.releaseInterface(gReentry.plugin, HlmPlg::IID_STRINGLIST, &foreign);
    HlmPlg::IService* service = gReentry.service != nullptr ? *gReentry.service : nullptr;
    if (service != nullptr) {
        static ExtraHandler extra;
        service->registerHandler(&extra);
        service->unregisterHandler(&extra);
    }
}

// Misbehaves when `call` is the chosen one. Nothing here allocates on the
// way to a fault: the frames are abandoned.
void act(const Options& options, const char* call) {
    if (options.at != call) {
        return;
    }
    if (options.action == "reenter") {
        reenter();
    }
    if (options.action == "hang") {
        std::fprintf(stderr, "hostile: hanging in %s\n", call);
        std::mutex lock;
        std::condition_variable never;
        std::unique_lock guard(lock);
        never.wait(guard, [] { return false; });
    }
    if (options.action == "throw") {
        throw std::runtime_error("hostile");
    }
    if (options.action == "foreign") {
        throw 7;
    }
    if (options.action == "fault") {
        const uintptr_t address = gZero;
        asm volatile("movl $1, (%0)" : : "r"(address) : "memory");
    }
    if (options.action == "divide") {
        const int32_t divisor = static_cast<int32_t>(gZero);
        int32_t quotient = 0;
        int32_t remainder = 0;
        asm volatile("idivl %2" : "=a"(quotient), "=d"(remainder) : "r"(divisor), "a"(1), "d"(0));
    }
}

class HostileHandler : public HlmPlg::IServiceHandler {
  public:
    explicit HostileHandler(const Options& options) : m_options(options) {}
    ~HostileHandler() override {
        record(m_options.name, "handlerDestructor");
        act(m_options, "handlerDestructor");
    }
    void onRunning() override { act(m_options, "onRunning"); }
    void onStopping() override { act(m_options, "onStopping"); }
    void onControl(uint32_t, uint32_t, void*) override { act(m_options, "onControl"); }
    void onSelftestFailed(const char16_t*) override { act(m_options, "onSelftestFailed"); }
    void onException(const char16_t*, uint32_t, std::exception&) override {
        act(m_options, "onException");
    }
    void onMessage(const char16_t*, uint32_t) override { act(m_options, "onMessage"); }

  private:
    Options m_options;
};

class HostilePlugin : public HlmPlg::CHlmPlg {
  public:
    HostilePlugin(HlmPlg::IHlmPlg* facade, Options options)
        : CHlmPlg(u"hostile", facade), m_options(std::move(options)) {
        gReentry = {facade, this, &m_service};
    }
    ~HostilePlugin() override {
        gReentry = {};
        record(m_options.name, "destructor");
        act(m_options, "destructor");
    }

    const Options& options() const { return m_options; }

    bool load() override {
        record(m_options.name, "load");
        act(m_options, "load");
        if (!m_declared) {
            declareInterface(HlmPlg::IID_SERVICE, &m_service, true);
            setInterfaceHandler(&m_service, new HostileHandler(m_options), true);
            if (m_options.required != 0) {
                declareInterface(m_options.required, &m_other, true);
            }
            m_declared = true;
        }
        return true;
    }
    bool start() override {
        record(m_options.name, "start");
        act(m_options, "start");
        if (!CHlmPlg::start()) {
            return false;
        }
        m_facade->registerProvider(kProvidedId, this);
        releaseInterfaceToFacade(kProvidedId, createInterfaceFromFacade(kProvidedId));
        m_service->broadcastMessage(u"hostile: started", 1);
        m_service->checkFile(u"/nonexistent/hostile-selftest");
        std::runtime_error reported("hostile report");
        m_service->reportException(u"hostile", 0, reported);
        return true;
    }
    bool stop() override {
        record(m_options.name, "stop");
        act(m_options, "stop");
        m_facade->unregisterProvider(kProvidedId, this);
        return CHlmPlg::stop();
    }
    bool unload() override {
        record(m_options.name, "unload");
        act(m_options, "unload");
        return true;
    }
    bool handleCmdLine(HlmPlg::ICmdLine*) override {
        act(m_options, "handleCmdLine");
        return false;
    }
    bool test(const char16_t*) override {
        act(m_options, "test");
        return true;
    }
    HlmPlg::IInterface* createInterface(int32_t id) override {
        act(m_options, "createInterface");
        return id == kProvidedId ? new HlmPlg::IInterface() : nullptr;
    }
    void releaseInterface(HlmPlg::IInterface* object) override {
        act(m_options, "releaseInterface");
        delete object;
    }

  private:
    Options m_options;
    HlmPlg::IService* m_service = nullptr;
    HlmPlg::IInterface* m_other = nullptr;
    bool m_declared = false;
};

}  // namespace

HLMPLG_PLUGIN_ENTRY {
    const std::string text = narrow(params);
    Options options;
    if (const std::string name = field(text, "name"); !name.empty()) {
        options.name = name;
    }
    options.at = field(text, "at");
    options.action = field(text, "do");
    options.required = std::atoi(field(text, "requires").c_str());
    record(options.name, "getHlmPlugin2");
    act(options, "getHlmPlugin2");
    return new HostilePlugin(facade, std::move(options));
}

HLMPLG_PLUGIN_FREE {
    auto* hostile = static_cast<HostilePlugin*>(plugin);
    act(hostile->options(), "freeHlmPlugin");
    delete plugin;
}

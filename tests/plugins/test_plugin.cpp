// The test plugins: one source, built into one library per behaviour (see
// plugins.cmake). Each library is a real first-generation plugin compiled
// against the SDK alone.
//
// Every call the host makes is recorded as one line "<name>:<call>[:<arg>]"
// appended to the file named by HOLM_TEST_PLUGIN_LOG (nothing is recorded
// when it is unset). The plugin's name comes from its params ("name=p1"; fields
// separated by ',' or ';'), so one library can stand for several list entries;
// without it the name is the library's base name ("ok", "fail_load", ...).
//
// Further params fields adjust any behaviour (use ',' between fields: the
// inline plugin list splits its own fields at ';'):
//   version=<hex>   getVersion() returns <hex> (e.g. version=05000200)
//   cmdline=take    handleCmdLine() returns true (takes the command line)
//   cmdexit=<n>     taking the command line, asks the service to stop with
//                   exit code <n> (IService::stopService)
//   test=false      test() returns false
//   provider=<id>   load() registers the plugin as provider of interface <id>;
//                   createInterface(<id>) hands out a bare IInterface
//   replace=<path>  getHlmPlugin2 renames "<path>.new" over <path> (a file
//                   exchanged after the host checked it)
//
// Every library also exports testPluginServiceHandler(), a service handler
// whose code and object live in the library.
//
// Behaviours (HOLM_TEST_PLUGIN_BEHAVIOUR):
//   Ok            succeeds in everything
//   FailLoad      load() returns false
//   FailStart     start() returns false (nothing acquired)
//   FailStop      stop() releases its interfaces, then returns false
//   WrongVersion  getVersion() is 0x03000100
//   NoExport      the library does not export getHlmPlugin2
//   NullPlugin    getHlmPlugin2 returns null
//   ThrowStd      start() throws std::runtime_error("boom")
//   ThrowHlm      start() sets the last error 42 and throws CHlmException(42)
//   NotInstalled  isInstalled() returns false
//   FreeRecords   exports freeHlmPlugin, which records before deleting
//   OldVersion    getVersion() is 0x03000000 (3.0.0.0); registers a service
//                 handler in start() (the core ignores it) and records
//                 whether the registration was accepted
//   KeepsHandler  registers a service handler in start() and leaves it
//                 registered after stop(); the handler lives in the library's
//                 static storage, so it stays valid while the library is mapped
//
// Only FreeRecords exports freeHlmPlugin: the others are destroyed by the
// host through the virtual destructor (recorded as "destructor").
#include <cstdio>
#include <cstdlib>
#include <forward_list>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "hlmplg/hlmplg.h"

namespace {

enum class Behaviour {
    Ok,
    FailLoad,
    FailStart,
    FailStop,
    WrongVersion,
    NoExport,
    NullPlugin,
    ThrowStd,
    ThrowHlm,
    NotInstalled,
    FreeRecords,
    OldVersion,
    KeepsHandler,
};

constexpr Behaviour kBehaviour = Behaviour::HOLM_TEST_PLUGIN_BEHAVIOUR;
constexpr const char16_t* kDefaultName = u"" HOLM_TEST_PLUGIN_DEFAULT_NAME;

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool isHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string toUtf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
    return out;
}

// Appends "<name>:<call>" (and ":<argument>" when given) as one line. The
// stream is opened in append mode per line and the line is written in one
// piece when it closes, so lines of several plugins never interleave.
// Never throws: it is called from destructors and from the C entry points.
void record(std::u16string_view name, std::string_view call,
            const char16_t* argument = nullptr) noexcept {
    const char* path = std::getenv("HOLM_TEST_PLUGIN_LOG");
    if (path == nullptr || *path == '\0') {
        return;
    }
    try {
        std::string line = toUtf8(name) + ":" + std::string(call);
        if (argument != nullptr) {
            line += ":" + toUtf8(argument);
        }
        line += "\n";
        std::ofstream log(path, std::ios::app | std::ios::binary);
        log << line;
    } catch (...) {
        // A line that cannot be built is lost; the test then sees it missing.
    }
}

// The value of the params field "<key>=<value>", if there is one (an empty
// value counts as none).
std::optional<std::u16string> paramValue(std::u16string_view params, std::u16string_view key) {
    size_t begin = 0;
    while (begin <= params.size()) {
        size_t end = params.find_first_of(u",;", begin);
        if (end == std::u16string_view::npos) {
            end = params.size();
        }
        const std::u16string_view field = params.substr(begin, end - begin);
        if (field.size() > key.size() + 1 && field.starts_with(key) && field[key.size()] == u'=') {
            return std::u16string(field.substr(key.size() + 1));
        }
        begin = end + 1;
    }
    return std::nullopt;
}

// A hexadecimal or decimal number of at most 32 bits from params; 0 if it is not one.
uint32_t numberFrom(const std::u16string& text, int base) {
    try {
        return static_cast<uint32_t>(std::stoul(toUtf8(text), nullptr, base));
    } catch (...) {
        return 0;
    }
}

// What the params of one list entry ask of the plugin.
struct Options {
    explicit Options(const char16_t* params) {
        const std::u16string_view text = params ? params : u"";
        name = paramValue(text, u"name").value_or(kDefaultName);
        if (const auto value = paramValue(text, u"version")) {
            version = numberFrom(*value, 16);
        }
        takesCommandLine = paramValue(text, u"cmdline") == u"take";
        if (const auto value = paramValue(text, u"cmdexit")) {
            commandExitCode = numberFrom(*value, 10);
        }
        testSucceeds = paramValue(text, u"test") != u"false";
        if (const auto value = paramValue(text, u"provider")) {
            providedId = static_cast<int32_t>(numberFrom(*value, 10));
        }
        if (const auto value = paramValue(text, u"replace")) {
            replacedFile = toUtf8(*value);
        }
    }

    std::u16string name;
    std::optional<uint32_t> version;
    bool takesCommandLine = false;
    std::optional<uint32_t> commandExitCode;
    bool testSucceeds = true;
    int32_t providedId = 0;  // 0: provides nothing
    std::string replacedFile;
};

// A service handler that records what the service side tells it.
class RecordingServiceHandler : public HlmPlg::IServiceHandler {
  public:
    explicit RecordingServiceHandler(std::u16string name) : m_name(std::move(name)) {}

    void onRunning() override { record(m_name, "onRunning"); }
    void onStopping() override { record(m_name, "onStopping"); }
    void onSelftestFailed(const char16_t* path) override {
        record(m_name, "onSelftestFailed", path);
    }
    void onMessage(const char16_t* text, uint32_t) override { record(m_name, "onMessage", text); }

  private:
    std::u16string m_name;
};

// Handlers of KeepsHandler plugins: never unregistered, so they live as long
// as the library (destroyed when it is unmapped or the process ends).
std::forward_list<RecordingServiceHandler> g_keptHandlers;

class TestPlugin final : public HlmPlg::CHlmPlg {
  public:
    TestPlugin(HlmPlg::IHlmPlg* facade, Options options)
        : CHlmPlg(options.name.c_str(), facade),
          m_options(std::move(options)),
          m_handler(m_options.name) {}
    ~TestPlugin() override { record(m_name, "destructor"); }

    uint32_t getVersion() override {
        if (m_options.version) {
            return *m_options.version;
        }
        switch (kBehaviour) {
            case Behaviour::WrongVersion:
                return 0x03000100;
            case Behaviour::OldVersion:
                return 0x03000000;
            default:
                return HlmPlg::kFrameworkVersion;
        }
    }

    bool handleCmdLine(HlmPlg::ICmdLine*) override {
        record(m_name, "handleCmdLine");
        if (m_options.takesCommandLine && m_options.commandExitCode) {
            HlmPlg::IInterface* object = createInterfaceFromFacade(HlmPlg::IID_SERVICE);
            if (auto* service = dynamic_cast<HlmPlg::IService*>(object)) {
                service->stopService(*m_options.commandExitCode);
            }
            releaseInterfaceToFacade(HlmPlg::IID_SERVICE, object);
        }
        return m_options.takesCommandLine;
    }

    bool test(const char16_t* argument) override {
        record(m_name, "test", argument ? argument : u"");
        return m_options.testSucceeds;
    }

    bool load() override {
        record(m_name, "load");
        if (registersServiceHandler()) {
            declareInterface(HlmPlg::IID_SERVICE, &m_service, true);
        }
        if (m_options.providedId != 0) {
            m_facade->registerProvider(m_options.providedId, this);
        }
        return kBehaviour != Behaviour::FailLoad;
    }

    bool unload() override {
        record(m_name, "unload");
        return true;
    }

    bool start() override {
        record(m_name, "start");
        switch (kBehaviour) {
            case Behaviour::FailStart:
                return false;
            case Behaviour::ThrowStd:
                throw std::runtime_error("boom");
            case Behaviour::ThrowHlm:
                setLastError(42);
                throw HlmPlg::CHlmException(42, "boom");
            default:
                break;
        }
        if (!CHlmPlg::start()) {
            return false;
        }
        if (registersServiceHandler()) {
            const bool accepted = m_service->registerHandler(serviceHandler());
            record(m_name, "registerHandler", accepted ? u"1" : u"0");
        }
        return true;
    }

    bool stop() override {
        record(m_name, "stop");
        if (kBehaviour == Behaviour::OldVersion && m_service != nullptr) {
            m_service->unregisterHandler(&m_handler);
        }
        const bool released = CHlmPlg::stop();
        return released && kBehaviour != Behaviour::FailStop;
    }

    bool isInstalled(HlmPlg::IConfig*) override {
        record(m_name, "isInstalled");
        return kBehaviour != Behaviour::NotInstalled;
    }

    HlmPlg::IInterface* createInterface(int32_t id) override {
        if (m_options.providedId != 0 && id == m_options.providedId) {
            return new HlmPlg::IInterface();
        }
        return nullptr;
    }

  private:
    static constexpr bool registersServiceHandler() {
        return kBehaviour == Behaviour::OldVersion || kBehaviour == Behaviour::KeepsHandler;
    }

    HlmPlg::IServiceHandler* serviceHandler() {
        if (kBehaviour == Behaviour::KeepsHandler) {
            return &g_keptHandlers.emplace_front(m_name);
        }
        return &m_handler;
    }

    Options m_options;
    HlmPlg::IService* m_service = nullptr;
    RecordingServiceHandler m_handler;
};

}  // namespace

#if !defined(HOLM_TEST_PLUGIN_WITHOUT_ENTRY)
HLMPLG_PLUGIN_ENTRY {
    try {
        Options options(params);
        record(options.name, "getHlmPlugin2");
        if (!options.replacedFile.empty()) {
            const std::string& target = options.replacedFile;
            record(
                options.name, "replace",
                std::rename((target + ".new").c_str(), target.c_str()) == 0 ? u"done" : u"failed");
        }
        if (kBehaviour == Behaviour::NullPlugin) {
            return nullptr;
        }
        return new TestPlugin(facade, std::move(options));
    } catch (...) {
        return nullptr;  // no exception crosses the library boundary
    }
}
#endif

extern "C" __attribute__((visibility("default"))) HlmPlg::IServiceHandler*
testPluginServiceHandler() {
    static HlmPlg::IServiceHandler handler;
    return &handler;
}

#if defined(HOLM_TEST_PLUGIN_EXPORTS_FREE)
HLMPLG_PLUGIN_FREE {
    if (plugin != nullptr) {
        record(plugin->getName(), "freeHlmPlugin");
    }
    delete plugin;
}
#endif

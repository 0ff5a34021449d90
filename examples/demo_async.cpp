// libdemo_async.so, the example plugin "async".
//
// Shows a plugin's own thread (IThread, id 13) and callbacks from the core's
// dispatcher (IAsync, id 17), built against the SDK alone:
//   - a thread whose body waits on its stop event and reports a heartbeat;
//   - a watch on the named event "holm-demo", which an operator sets with
//     `holm-event set holm-demo` (same HOLM_RUNTIME_DIR as the host);
//   - a one-shot callback (fireNow) and a periodic one (fireAfterNSec);
//   - a watch on a directory and everything below it ($HOLM_DEMO_WATCH_DIR,
//     else holm-demo in the temporary directory): each delivery says only
//     that something changed, so the plugin compares a listing it keeps
//     with a new one and logs what was added, removed or changed.
// Everything it notices is written as one line to standard error (where the
// host logs too) and broadcast to the service handlers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <utility>

#include "hlmplg/hlmplg.h"

namespace {

constexpr uint32_t kInfo = 1;
constexpr uint32_t kError = 0;
constexpr uint32_t kHeartbeatMilliseconds = 1000;

enum Watch : uintptr_t { kNamedEvent = 1, kOnce = 2, kPeriodic = 3, kDirectory = 4 };

// At most this many entries are listed; a larger tree is compared in part.
constexpr size_t kMaxListedEntries = 10000;

std::u16string toUtf16(const std::string& text) {
    return std::u16string(text.begin(), text.end());  // the demo logs ASCII paths
}

std::string watchedDirectory() {
    if (const char* chosen = std::getenv("HOLM_DEMO_WATCH_DIR"); chosen && *chosen) {
        return chosen;
    }
    std::error_code error;
    const auto temporary = std::filesystem::temp_directory_path(error);
    return ((error ? std::filesystem::path("/tmp") : temporary) / "holm-demo").string();
}

// A directory tree as a map from relative path to size and modification
// time (directories with size 0); links are not followed.
class TreeListing {
  public:
    using Entries = std::map<std::string, std::pair<uintmax_t, int64_t>>;

    static Entries list(const std::string& root) {
        namespace fs = std::filesystem;
        Entries entries;
        std::error_code error;
        fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied,
                                            error);
        for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (entries.size() >= kMaxListedEntries) {
                break;
            }
            std::error_code ignored;
            const bool file = it->is_regular_file(ignored);
            const auto time = it->last_write_time(ignored).time_since_epoch().count();
            entries[fs::relative(it->path(), root, ignored).string()] = {
                file ? it->file_size(ignored) : 0, static_cast<int64_t>(time)};
        }
        return entries;
    }
};

// One line to standard error (ASCII texts only, so each unit is one byte)
// and a broadcast through the service object, if the plugin holds one.
void say(HlmPlg::IService* service, const std::u16string& text, uint32_t level = kInfo) {
    std::string line;
    for (char16_t unit : text) {
        line.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    if (service != nullptr) {
        service->broadcastMessage(text.c_str(), level);
    }
}

// The body of the plugin's thread: runs until the stop event is set.
class HeartbeatThread : public HlmPlg::IThreadHandler {
  public:
    explicit HeartbeatThread(HlmPlg::IService** service) : m_service(service) {}
    const char16_t* getThreadName() override { return u"demo-heartbeat"; }
    uint32_t run(HlmPlg::IStopEvent* stop) override {
        unsigned beats = 0;
        while (!stop->wait(kHeartbeatMilliseconds)) {
            const std::u16string text = u"async: thread heartbeat " + toText(++beats);
            say(*m_service, text);
        }
        return 0;
    }

  private:
    static std::u16string toText(unsigned value) {
        std::u16string text;
        do {
            text.insert(text.begin(), static_cast<char16_t>(u'0' + value % 10));
            value /= 10;
        } while (value != 0);
        return text;
    }

    HlmPlg::IService** m_service;
};

// Called on a dispatcher thread whenever one of the plugin's watches fires.
class WatchHandler : public HlmPlg::IAsyncHandler {
  public:
    explicit WatchHandler(HlmPlg::IService** service) : m_service(service) {}

    // Takes the first listing of the watched directory.
    void watching(std::string directory) {
        m_directory = std::move(directory);
        m_listing = TreeListing::list(m_directory);
    }

    bool onAsyncEvent(HlmPlg::IAsyncEvent* event) override {
        const char16_t* text = u"async: unknown watch fired";
        switch (event->getUserValue()) {
            case kDirectory:
                logChanges();
                return true;
            case kNamedEvent:
                text = u"async: named event 'holm-demo' was set";
                break;
            case kOnce:
                text = u"async: fireNow delivered";
                break;
            case kPeriodic:
                text = u"async: periodic timer fired";
                break;
        }
        say(*m_service, text);
        return true;
    }

  private:
    // Callbacks of one IAsync object never overlap, so the listing needs no
    // lock.
    void logChanges() {
        TreeListing::Entries now = TreeListing::list(m_directory);
        bool any = false;
        for (const auto& [path, stamp] : now) {
            auto before = m_listing.find(path);
            if (before == m_listing.end()) {
                report(u"added", path, any);
            } else if (before->second != stamp) {
                report(u"changed", path, any);
            }
        }
        for (const auto& [path, stamp] : m_listing) {
            if (now.find(path) == now.end()) {
                report(u"removed", path, any);
            }
        }
        if (!any) {
            say(*m_service, u"async: directory " + toUtf16(m_directory) + u" changed");
        }
        m_listing = std::move(now);
    }

    void report(const char16_t* what, const std::string& path, bool& any) {
        say(*m_service, u"async: " + std::u16string(what) + u" " + toUtf16(path) + u" in " +
                            toUtf16(m_directory));
        any = true;
    }

    HlmPlg::IService** m_service;
    std::string m_directory;
    TreeListing::Entries m_listing;
};

class DemoAsyncPlugin : public HlmPlg::CHlmPlg {
  public:
    explicit DemoAsyncPlugin(HlmPlg::IHlmPlg* facade) : CHlmPlg(u"async", facade) {}

    // Declares the service object, a thread and an asynchronous service, each
    // with its handler (owned by the core, registered when the interface is
    // acquired at start and destroyed with it at stop).
    bool load() override {
        if (!m_declared) {
            declareInterface(HlmPlg::IID_SERVICE, &m_service, true);
            declareInterface(HlmPlg::IID_THREAD, &m_thread, true);
            setInterfaceHandler(&m_thread, new HeartbeatThread(&m_service), true);
            declareInterface(HlmPlg::IID_ASYNC, &m_async, true);
            m_watchHandler = new WatchHandler(&m_service);
            setInterfaceHandler(&m_async, m_watchHandler, true);
            m_declared = true;
        }
        return true;
    }

    bool start() override {
        if (!CHlmPlg::start()) {
            return false;
        }
        if (!m_thread->start(0)) {
            say(m_service, u"async: the thread did not start", kError);
        }
        if (m_async->watchEvent(u"holm-demo", kNamedEvent) == nullptr) {
            say(m_service, u"async: cannot watch 'holm-demo' (is HOLM_RUNTIME_DIR writable?)",
                kError);
        }
        watchDirectory();
        m_async->fireNow(kOnce);
        m_async->fireAfterNSec(4, kPeriodic);
        say(m_service, u"async: watching; try `holm-event set holm-demo`");
        return true;
    }

    // Ends the thread and the callbacks (unregisterHandler waits for one
    // that runs) before the base stop releases the interfaces, so neither
    // uses the service object once it is gone. Releasing the IAsync object
    // cancels every watch.
    bool stop() override {
        if (m_thread != nullptr) {
            m_thread->stop();
        }
        if (m_async != nullptr) {
            m_async->unregisterHandler(m_watchHandler);
        }
        return CHlmPlg::stop();
    }

  private:
    void watchDirectory() {
        const std::string directory = watchedDirectory();
        std::error_code ignored;
        std::filesystem::create_directories(directory, ignored);
        // Listed before the watch starts, so the first change is compared
        // with the tree as it was.
        m_watchHandler->watching(directory);
        const std::u16string path = toUtf16(directory);
        if (m_async->watchDirectory(path.c_str(), 1, 0, kDirectory) == nullptr) {
            say(m_service, u"async: cannot watch the directory " + path, kError);
            return;
        }
        say(m_service, u"async: watching " + path + u" and below; try `touch " + path + u"/file`");
    }

    HlmPlg::IService* m_service = nullptr;
    HlmPlg::IThread* m_thread = nullptr;
    HlmPlg::IAsync* m_async = nullptr;
    WatchHandler* m_watchHandler = nullptr;  // owned by the core
    bool m_declared = false;
};

}  // namespace

HLMPLG_PLUGIN_ENTRY {
    try {
        return new DemoAsyncPlugin(facade);
    } catch (...) {
        return nullptr;
    }
}

HLMPLG_PLUGIN_FREE {
    delete plugin;
}

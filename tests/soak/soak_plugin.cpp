// libsoak.so: a first-generation plugin that keeps one kind of work going
// for as long as the host runs and counts what it expects, for scripts/soak.
// Its params are "<role>:<instance>"; the instance names its counter file,
// its named events, its directories and its registry key. Roles:
//   timers    fireNow from its thread, a periodic timer, timers registered
//             and cancelled at once (which must never be delivered)
//   external  counts the sets of the named event "soak-<instance>" that
//             scripts/soak makes with holm-event
//   ping/pong two plugins setting each other's named event through a
//             process (holm-event, run with wait), one round at a time
//   process   short processes with and without wait
//   tree      a writer creating, changing and deleting files and
//             directories under a subtree watch, one change at a time
//   registry  a writer setting a registry value under a value and a key
//             watch, one change at a time
//   logbackup / logtrim
//             report-log entries with a small size limit (numbered backups,
//             trimming), each line numbered
//   config    configuration reads, a commit through IConfigWrite every few
//             seconds, and the reloads it is told of
//   sqlite    inserts and scans of a database in the data directory
//   faulty    callbacks that throw or fault now and then
//   decline   declines to be loaded
// Every instance also runs a thread of its own, which writes the counters
// every second and once more at stop.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "hlmplg/hlmplg.h"
#include "soak_common.h"

namespace {

using soak::narrow;
using soak::widen;

constexpr uint32_t kHkeyLocalMachine = 0x80000002;
constexpr auto kHandshakeLimit = std::chrono::seconds(10);

enum Watch : uintptr_t {
    kOnce = 1,
    kPeriodic,
    kCancelled,
    kNamedEvent,
    kDirectory,
    kRegistryValue,
    kRegistryKey,
    kFault
};

volatile uintptr_t gZero = 0;

void accessViolation() {
    const uintptr_t address = gZero;
    asm volatile("movl $1, (%0)" : : "r"(address) : "memory");
}

class SoakPlugin;

// The plugin's thread: its role's steady work, and the counters.
class Worker : public HlmPlg::IThreadHandler {
  public:
    explicit Worker(SoakPlugin& plugin) : m_plugin(plugin) {}
    const char16_t* getThreadName() override { return u"soak-worker"; }
    uint32_t run(HlmPlg::IStopEvent* stop) override;

  private:
    SoakPlugin& m_plugin;
};

class Deliveries : public HlmPlg::IAsyncHandler {
  public:
    explicit Deliveries(SoakPlugin& plugin) : m_plugin(plugin) {}
    bool onAsyncEvent(HlmPlg::IAsyncEvent* event) override;

  private:
    SoakPlugin& m_plugin;
};

class Reloads : public HlmPlg::IConfigHandler {
  public:
    explicit Reloads(soak::Counters& counters) : m_counters(counters) {}
    void onConfigReloaded() override { ++m_counters["reloads"]; }
    void onConfigChanged() override { ++m_counters["changes"]; }

  private:
    soak::Counters& m_counters;
};

class SoakPlugin : public HlmPlg::CHlmPlg {
  public:
    SoakPlugin(HlmPlg::IHlmPlg* facade, std::string role, std::string instance)
        : CHlmPlg(widen(instance).c_str(), facade),
          m_role(std::move(role)),
          m_instance(std::move(instance)),
          m_counters(m_instance) {}

    bool load() override {
        if (m_declared) {
            return true;
        }
        declareInterface(HlmPlg::IID_CONFIG, &m_config, true);
        declareInterface(HlmPlg::IID_THREAD, &m_thread, true);
        setInterfaceHandler(&m_thread, new Worker(*this), true);
        declareInterface(HlmPlg::IID_ASYNC, &m_async, true);
        m_deliveries = new Deliveries(*this);
        setInterfaceHandler(&m_async, m_deliveries, true);
        if (m_role == "config") {
            setInterfaceHandler(&m_config, new Reloads(m_counters), true);
            declareInterface(HlmPlg::IID_CONFIGWRITE, &m_configWrite, true);
        }
        if (m_role == "logbackup" || m_role == "logtrim") {
            declareInterface(HlmPlg::IID_LOG, &m_log, true);
        }
        m_declared = true;
        return true;
    }

    bool start() override {
        if (!CHlmPlg::start()) {
            return false;
        }
        ++m_counters["starts"];
        m_product = narrow(m_config->getProductDirectory());
        if (!startRole()) {
            ++m_counters["setup_failed"];
        }
        m_thread->start(0);
        return true;
    }

    // The thread ends first (no new work), then the callbacks (waiting for
    // one that runs), then the interfaces go.
    bool stop() override {
        if (m_thread != nullptr) {
            m_thread->stop();
        }
        if (m_async != nullptr) {
            m_async->unregisterHandler(m_deliveries);
        }
        ++m_counters["stops"];
        m_counters.write();
        return CHlmPlg::stop();
    }

    void work(HlmPlg::IStopEvent* stop);
    void deliver(uintptr_t what);

  private:
    bool startRole() {
        if (m_role == "timers") {
            return m_async->fireAfterNSec(1, kPeriodic) != nullptr;
        }
        if (m_role == "external" || m_role == "ping" || m_role == "pong") {
            return m_async->watchEvent(widen("soak-" + m_instance).c_str(), kNamedEvent) != nullptr;
        }
        if (m_role == "tree") {
            m_tree = soak::soakDirectory() + "/tree/" + m_instance;
            std::error_code ignored;
            std::filesystem::remove_all(m_tree, ignored);
            std::filesystem::create_directories(m_tree, ignored);
            return m_async->watchDirectory(widen(m_tree).c_str(), 1, 0, kDirectory) != nullptr;
        }
        if (m_role == "registry") {
            m_key = u"SOFTWARE\\HolmSoak\\" + widen(m_instance);
            m_config->writeRegistryDword(kHkeyLocalMachine, m_key.c_str(), u"Counter", 0);
            return m_async->watchRegistryValue(kHkeyLocalMachine, m_key.c_str(), u"Counter", 0,
                                               kRegistryValue) != nullptr &&
                   m_async->watchRegistryKey(kHkeyLocalMachine, m_key.c_str(), 1, 0,
                                             kRegistryKey) != nullptr;
        }
        if (m_role == "logbackup" || m_role == "logtrim") {
            const std::u16string path = m_config->getReportPath(widen(m_instance + ".log").c_str());
            return m_log->open(path.c_str(), 3, 96 * 1024, m_role == "logbackup");
        }
        if (m_role == "faulty") {
            return m_async->fireAfterNSec(1, kFault) != nullptr;
        }
        return true;
    }

    // Waits (for at most the handshake limit) until `counter` passes
    // `before`; a stop ends the wait early without counting a loss.
    bool awaitDelivery(const char* counter, uint64_t before, HlmPlg::IStopEvent* stop) {
        std::atomic<uint64_t>& value = m_counters[counter];
        std::unique_lock lock(m_mutex);
        const auto deadline = std::chrono::steady_clock::now() + kHandshakeLimit;
        while (value.load() <= before) {
            if (stop->isSet()) {
                return true;
            }
            if (m_delivered.wait_until(lock,
                                       std::min(deadline, std::chrono::steady_clock::now() +
                                                              std::chrono::milliseconds(200))) ==
                    std::cv_status::timeout &&
                std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
        }
        return true;
    }

    void notifyDelivered() {
        std::lock_guard lock(m_mutex);
        m_delivered.notify_all();
    }

    bool runProcess(const std::string& commandLine, bool wait, uint32_t* exitCode) {
        auto* process =
            dynamic_cast<HlmPlg::IProcess*>(createInterfaceFromFacade(HlmPlg::IID_PROCESS));
        if (process == nullptr) {
            return false;
        }
        const bool ran = process->run(widen(commandLine).c_str(), wait);
        if (exitCode != nullptr) {
            *exitCode = process->getExitCode();
        }
        releaseInterfaceToFacade(HlmPlg::IID_PROCESS, process);
        return ran;
    }

    bool setEvent(const std::string& name) {
        uint32_t code = 1;
        return runProcess(m_product + "holm-event set " + name, true, &code) && code == 0;
    }

    // A batch of fireNow calls, all awaited: the dispatcher stops before the
    // plugins do, so what is still waiting then is never delivered, and a
    // batch awaited is what makes "sent" and "delivered" comparable.
    void timersStep(HlmPlg::IStopEvent* stop) {
        const uint64_t before = m_counters["firenow_delivered"].load();
        uint64_t sent = 0;
        for (int i = 0; i < 10; ++i) {
            if (m_async->fireNow(kOnce) != nullptr) {
                ++m_counters["firenow_sent"];
                ++sent;
            }
        }
        if (sent > 0 && !awaitDelivery("firenow_delivered", before + sent - 1, stop)) {
            ++m_counters["lost"];
        }
        // Registered and cancelled at once: never delivered.
        if (HlmPlg::IAsyncEvent* event = m_async->fireAfterNSec(0, kCancelled)) {
            m_async->cancel(event);
            ++m_counters["cancelled"];
        }
        if (HlmPlg::IAsyncEvent* event = m_async->fireNow(kCancelled)) {
            m_async->cancel(event);
            ++m_counters["cancelled"];
        }
    }

    // One round: this plugin's partner is "<pair>-pong" for "<pair>-ping".
    void pingStep(HlmPlg::IStopEvent* stop) {
        const std::string partner = m_instance.substr(0, m_instance.size() - 4) + "pong";
        const uint64_t before = m_counters["received"].load();
        if (!setEvent("soak-" + partner)) {
            ++m_counters["set_failed"];
            return;
        }
        ++m_counters["sent"];
        if (!awaitDelivery("received", before, stop)) {
            ++m_counters["lost"];
        }
    }

    // Answers every ping it received with one pong.
    void pongStep() {
        const std::string partner = m_instance.substr(0, m_instance.size() - 4) + "ping";
        while (m_counters["sent"].load() < m_counters["received"].load()) {
            if (!setEvent("soak-" + partner)) {
                ++m_counters["set_failed"];
                return;
            }
            ++m_counters["sent"];
        }
    }

    void processStep() {
        uint32_t code = 0;
        if (runProcess("/bin/sh -c \"exit 3\"", true, &code) && code == 3) {
            ++m_counters["waited"];
        } else {
            ++m_counters["wait_failed"];
        }
        if (runProcess("/bin/true", false, nullptr)) {
            ++m_counters["started"];
        } else {
            ++m_counters["start_failed"];
        }
    }

    // Each change is awaited before the next: a change no delivery follows
    // is counted lost.
    void treeStep(HlmPlg::IStopEvent* stop) {
        const uint64_t before = m_counters["delivered"].load();
        const uint64_t step = m_step++;
        const std::string directory = m_tree + "/d" + std::to_string(step / 8 % 3);
        const std::string file = directory + "/f" + std::to_string(step % 4);
        std::error_code error;
        switch (step % 8) {
            case 0:
                std::filesystem::create_directory(directory, error);
                break;
            case 1:
            case 2:
            case 3: {
                std::ofstream(file) << "soak " << step << "\n";
                break;
            }
            case 4:
            case 5: {
                std::ofstream(directory + "/f1", std::ios::app) << "more " << step << "\n";
                break;
            }
            case 6:
                std::filesystem::remove(directory + "/f1", error);
                break;
            default:
                std::filesystem::remove_all(directory, error);
                break;
        }
        ++m_counters["changes"];
        if (!awaitDelivery("delivered", before, stop)) {
            ++m_counters["lost"];
        }
    }

    void registryStep(HlmPlg::IStopEvent* stop) {
        const uint64_t before = m_counters["value_delivered"].load();
        if (!m_config->writeRegistryDword(kHkeyLocalMachine, m_key.c_str(), u"Counter",
                                          static_cast<int32_t>(++m_step))) {
            ++m_counters["write_failed"];
            return;
        }
        ++m_counters["writes"];
        if (!awaitDelivery("value_delivered", before, stop)) {
            ++m_counters["lost"];
        }
    }

    // Two-line entries; the first line carries the instance and a number
    // that rises by one per entry, which scripts/soak looks for in every
    // file the entries may have reached.
    void logStep() {
        for (int i = 0; i < 4; ++i) {
            HlmPlg::ILogEvent* event = m_log->createEvent();
            if (event == nullptr) {
                ++m_counters["create_failed"];
                continue;
            }
            const uint64_t number = m_counters["entries"].load() + 1;
            event->addLineText(
                1, HlmPlg::LOG_STYLE_STAMPED, HlmPlg::LOG_CATEGORY_INFO,
                widen("soak-entry " + m_instance + " " + std::to_string(number)).c_str());
            event->addLineText(1, HlmPlg::LOG_STYLE_INDENT2, HlmPlg::LOG_CATEGORY_NONE,
                               u"a second line, so that an entry is more than one line");
            m_log->commitEvent(&event);
            ++m_counters["entries"];
        }
    }

    void configStep() {
        ++m_step;
        std::lock_guard lock(m_mutex);  // the text results belong to the object
        const std::u16string greeting = m_config->readString(u"SOAK", u"Greeting", u"none");
        const int32_t interval = m_config->readInt(u"SOAK", u"Interval", 5);
        m_counters["reads"] += 2;
        if (greeting.empty() || interval <= 0) {
            ++m_counters["read_wrong"];
        }
        if (m_step % 30 != 0) {  // every three seconds
            return;
        }
        const std::u16string value = widen(std::to_string(m_step));
        m_configWrite->clear();
        m_configWrite->setValue(u"SOAK", widen("Commit-" + m_instance).c_str(), value.c_str());
        ++m_counters[m_configWrite->commit() ? "commits" : "commit_failed"];
    }

    class Rows : public HlmPlg::ISQLiteRowHandler {
      public:
        bool onRow(HlmPlg::IStringList* row) override {
            HlmPlg::IStringList::Iterator* columns = row->createIterator();
            const char16_t* first = columns->first();
            value = first != nullptr ? std::stoull(narrow(first)) : 0;
            row->releaseIterator(columns);
            return true;
        }
        uint64_t value = 0;
    };

    // A database opened per step; rows older than the last thousand go, so
    // the file stays small.
    void sqliteStep() {
        auto* db =
            dynamic_cast<HlmPlg::ISQLiteDB*>(createInterfaceFromFacade(HlmPlg::IID_SQLITEDB));
        if (db == nullptr) {
            ++m_counters["open_failed"];
            return;
        }
        const std::u16string path =
            std::u16string(m_config->getDataDirectory()) + widen(m_instance + ".db");
        Rows rows;
        if (!db->open(path.c_str()) ||
            !db->exec(u"CREATE TABLE IF NOT EXISTS soak(seq INTEGER PRIMARY KEY, text TEXT);",
                      nullptr)) {
            ++m_counters["open_failed"];
        } else {
            db->begin();
            for (int i = 0; i < 10; ++i) {
                const std::u16string seq = widen(std::to_string(++m_step));
                if (db->execFormatNoRows(u"INSERT INTO soak VALUES (%s, %Q);", seq.c_str(),
                                         u"a row of the soak test")) {
                    ++m_counters["inserts"];
                } else {
                    ++m_counters["insert_failed"];
                }
            }
            db->end(true);
            if (db->exec(u"SELECT max(seq) FROM soak;", &rows) && rows.value == m_step) {
                ++m_counters["scans"];
            } else {
                ++m_counters["scan_wrong"];
            }
            db->execFormatNoRows(u"DELETE FROM soak WHERE seq <= %d;",
                                 static_cast<int32_t>(m_step) - 1000);
        }
        db->close();
        releaseInterfaceToFacade(HlmPlg::IID_SQLITEDB, db);
    }

    std::string m_role;
    std::string m_instance;
    soak::Counters m_counters;
    std::string m_product;
    std::string m_tree;
    std::u16string m_key;
    uint64_t m_step = 0;
    std::mutex m_mutex;
    std::condition_variable m_delivered;

    HlmPlg::IConfig* m_config = nullptr;
    HlmPlg::IConfigWrite* m_configWrite = nullptr;
    HlmPlg::IThread* m_thread = nullptr;
    HlmPlg::IAsync* m_async = nullptr;
    HlmPlg::ILog* m_log = nullptr;
    Deliveries* m_deliveries = nullptr;  // owned by the core
    bool m_declared = false;

    friend class Worker;
};

void SoakPlugin::work(HlmPlg::IStopEvent* stop) {
    auto lastWrite = std::chrono::steady_clock::now();
    uint32_t pause = 100;
    if (m_role == "process" || m_role == "registry" || m_role == "ping") {
        pause = 200;
    } else if (m_role == "timers" || m_role == "faulty") {
        pause = 300;
    } else if (m_role == "sqlite") {
        pause = 250;
    }
    while (!stop->wait(pause)) {
        if (m_role == "timers") {
            timersStep(stop);
        } else if (m_role == "ping") {
            pingStep(stop);
        } else if (m_role == "pong") {
            pongStep();
        } else if (m_role == "process") {
            processStep();
        } else if (m_role == "tree") {
            treeStep(stop);
        } else if (m_role == "registry") {
            registryStep(stop);
        } else if (m_role == "logbackup" || m_role == "logtrim") {
            logStep();
        } else if (m_role == "config") {
            configStep();
        } else if (m_role == "sqlite") {
            sqliteStep();
        } else if (m_role == "faulty") {
            if (m_async->fireNow(kFault) != nullptr) {
                ++m_counters["firenow_sent"];
            }
        }
        ++m_counters["thread_steps"];
        if (std::chrono::steady_clock::now() - lastWrite >= std::chrono::seconds(1)) {
            m_counters.write();
            lastWrite = std::chrono::steady_clock::now();
        }
    }
}

// Callbacks of one IAsync object never overlap.
void SoakPlugin::deliver(uintptr_t what) {
    switch (what) {
        case kOnce:
            ++m_counters["firenow_delivered"];
            break;
        case kPeriodic:
            ++m_counters["periodic"];
            break;
        case kCancelled:
            ++m_counters["cancelled_delivered"];
            break;
        case kNamedEvent:
            ++m_counters["received"];
            break;
        case kDirectory:
            ++m_counters["delivered"];
            break;
        case kRegistryValue:
            ++m_counters["value_delivered"];
            break;
        case kRegistryKey:
            ++m_counters["key_delivered"];
            break;
        case kFault: {
            // Every seventh callback throws, every eleventh faults; each is
            // counted before, so the core's report can be compared.
            const uint64_t call = ++m_counters["fault_callbacks"];
            if (call % 7 == 0) {
                ++m_counters["thrown"];
                throw std::runtime_error("soak: a callback that throws");
            }
            if (call % 11 == 0) {
                ++m_counters["faulted"];
                accessViolation();
            }
            break;
        }
        default:
            ++m_counters["unknown_delivered"];
            break;
    }
    notifyDelivered();
}

uint32_t Worker::run(HlmPlg::IStopEvent* stop) {
    m_plugin.work(stop);
    return 0;
}

bool Deliveries::onAsyncEvent(HlmPlg::IAsyncEvent* event) {
    m_plugin.deliver(event->getUserValue());
    return true;
}

}  // namespace

HLMPLG_PLUGIN_ENTRY {
    try {
        const std::string text = narrow(params);
        const size_t colon = text.find(':');
        if (colon == std::string::npos) {
            return nullptr;
        }
        const std::string role = text.substr(0, colon);
        if (role == "decline") {
            return nullptr;
        }
        return new SoakPlugin(facade, role, text.substr(colon + 1));
    } catch (...) {
        return nullptr;
    }
}

HLMPLG_PLUGIN_FREE {
    delete plugin;
}

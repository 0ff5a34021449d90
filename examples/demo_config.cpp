// libdemo_config.so, the example plugin "settings".
//
// A first-generation plugin that reads its settings from the product's
// configuration file (section [DEMO] of holm.conf in the data directory)
// through IConfig (id 1), and follows reloads as an IConfigHandler: after
// `kill -HUP <avholm pid>` it reads its settings again and prints what
// changed. It shows:
//   - declaring IConfig with a handler owned by the core;
//   - typed reads with defaults (readString, readInt, readBool, readList);
//   - onConfigReloaded (every reload) and onConfigChanged (only when a value
//     this plugin read now reads differently);
//   - writing a value through IConfigWrite (id 3): at every start it counts
//     the start in [DEMO] Starts. The configuration updater program writes
//     the file; the plugin's reads show the new count after the next reload.
//   - a database (ISQLiteDB, id 19) under the data directory: each start
//     inserts a row (a value from outside quoted with %Q) and reads the
//     number of rows back through a row handler.
//
// The plugin prints to standard error, where the host writes its own lines.
#include <cstdio>
#include <mutex>
#include <string>

#include "hlmplg/hlmplg.h"

namespace {

// The settings this plugin reads, as they read at one moment.
struct DemoSettings {
    std::u16string greeting;
    int32_t intervalSeconds = 0;
    bool verbose = false;
    std::u16string targets;  // the list's items joined with ", "
    int32_t starts = 0;      // how often the plugin started, counted by itself
};

// UTF-16 to UTF-8 for printing; control characters from the file become
// '?', so a value never breaks a log line.
std::string printable(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;
        }
        if (code < 0x20 || code == 0x7F) {
            out += '?';
        } else if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

void print(const std::string& line) {
    std::fprintf(stderr, "settings: %s\n", line.c_str());
}

std::string describe(const DemoSettings& settings) {
    return "Greeting=\"" + printable(settings.greeting) +
           "\" IntervalSeconds=" + std::to_string(settings.intervalSeconds) +
           " Verbose=" + (settings.verbose ? "1" : "0") + " Targets=[" +
           printable(settings.targets) + "] Starts=" + std::to_string(settings.starts);
}

// Reads [DEMO] through the plugin's IConfig object. Every read is recorded
// by that object, which is what lets the core tell this plugin's handler
// whether a reload changed something it read.
DemoSettings readSettings(HlmPlg::IConfig* config) {
    DemoSettings settings;
    if (config == nullptr) {
        return settings;
    }
    // A returned text stays valid only until the next text read of the same
    // object: copy it at once.
    const char16_t* greeting = config->readString(u"DEMO", u"Greeting", u"hello");
    settings.greeting = greeting ? greeting : u"";
    settings.intervalSeconds = config->readInt(u"DEMO", u"IntervalSeconds", 60);
    settings.verbose = config->readBool(u"DEMO", u"Verbose", false);
    settings.starts = config->readInt(u"DEMO", u"Starts", 0);
    // The list belongs to the IConfig object, like its text results.
    HlmPlg::IStringList* list = config->readList(u"DEMO", u"Targets", u"/home", u",");
    HlmPlg::IStringList::Iterator* iterator = list ? list->createIterator() : nullptr;
    if (iterator != nullptr) {
        for (const char16_t* item = iterator->first(); item != nullptr; item = iterator->next()) {
            if (!settings.targets.empty()) {
                settings.targets += u", ";
            }
            settings.targets += item;
        }
        list->releaseIterator(iterator);
    }
    return settings;
}

// Prints one line per setting whose value differs.
void printChanges(const DemoSettings& before, const DemoSettings& after) {
    if (before.greeting != after.greeting) {
        print("Greeting: \"" + printable(before.greeting) + "\" -> \"" + printable(after.greeting) +
              "\"");
    }
    if (before.intervalSeconds != after.intervalSeconds) {
        print("IntervalSeconds: " + std::to_string(before.intervalSeconds) + " -> " +
              std::to_string(after.intervalSeconds));
    }
    if (before.verbose != after.verbose) {
        print(std::string("Verbose: ") + (before.verbose ? "1" : "0") + " -> " +
              (after.verbose ? "1" : "0"));
    }
    if (before.targets != after.targets) {
        print("Targets: [" + printable(before.targets) + "] -> [" + printable(after.targets) + "]");
    }
    if (before.starts != after.starts) {
        print("Starts: " + std::to_string(before.starts) + " -> " + std::to_string(after.starts));
    }
}

class DemoConfigPlugin;

// The core calls the handler on its reload thread, never while this plugin
// is being started or stopped; it may read configuration from here.
class DemoConfigHandler : public HlmPlg::IConfigHandler {
  public:
    explicit DemoConfigHandler(DemoConfigPlugin& plugin) : m_plugin(plugin) {}
    void onConfigReloaded() override;
    void onConfigChanged() override;

  private:
    DemoConfigPlugin& m_plugin;
};

class DemoConfigPlugin : public HlmPlg::CHlmPlg {
  public:
    explicit DemoConfigPlugin(HlmPlg::IHlmPlg* facade) : CHlmPlg(u"settings", facade) {}

    bool load() override {
        if (!m_declared) {
            declareInterface(HlmPlg::IID_CONFIG, &m_config, true);
            declareInterface(HlmPlg::IID_CONFIGWRITE, &m_configWrite, false);
            setInterfaceHandler(&m_config, new DemoConfigHandler(*this), true);
            m_declared = true;
        }
        return true;
    }

    bool start() override {
        if (!CHlmPlg::start()) {
            return false;
        }
        std::lock_guard lock(m_mutex);
        m_settings = readSettings(m_config);
        print("started with " + describe(m_settings));
        countThisStart();
        recordStart();
        return true;
    }

    void configReloaded() { print("the configuration was reloaded"); }

    // A value this plugin read now reads differently: read everything again
    // and print the difference.
    void configChanged() {
        std::lock_guard lock(m_mutex);
        const DemoSettings now = readSettings(m_config);
        printChanges(m_settings, now);
        m_settings = now;
    }

  private:
    // Hands "DEMO:Starts=<n+1>" to the configuration updater and waits for
    // it. The change reaches this plugin's reads at the next reload, where
    // configChanged prints it.
    void countThisStart() {
        if (m_configWrite == nullptr) {
            return;  // optional: a core without configuration writes
        }
        const std::string next = std::to_string(m_settings.starts + 1);
        const std::u16string value(next.begin(), next.end());
        m_configWrite->clear();
        m_configWrite->setValue(u"DEMO", u"Starts", value.c_str());
        if (m_configWrite->commit()) {
            print("counted this start: Starts=" + next +
                  " handed to the configuration updater; it reads so after the next reload");
        } else {
            print("the configuration updater could not be run");
        }
    }

    // Receives the single row of the count query.
    class CountHandler : public HlmPlg::ISQLiteRowHandler {
      public:
        bool onRow(HlmPlg::IStringList* row) override {
            // The list lives for this call only: copy what is needed.
            HlmPlg::IStringList::Iterator* columns = row->createIterator();
            count = columns->first() != nullptr ? columns->first() : u"";
            row->releaseIterator(columns);
            return true;
        }
        std::u16string count;
    };

    // Appends a row to settings.db in the data directory and prints how many
    // starts it holds. The object comes from the facade and goes back to it;
    // releasing it also closes the database.
    void recordStart() {
        auto* db =
            dynamic_cast<HlmPlg::ISQLiteDB*>(createInterfaceFromFacade(HlmPlg::IID_SQLITEDB));
        if (db == nullptr) {
            return;
        }
        const std::u16string path = std::u16string(m_config->getDataDirectory()) + u"settings.db";
        CountHandler handler;
        if (db->open(path.c_str()) &&
            db->exec(u"CREATE TABLE IF NOT EXISTS starts(at TEXT, greeting TEXT);", nullptr) &&
            db->execFormatNoRows(u"INSERT INTO starts VALUES (datetime('now'), %Q);",
                                 m_settings.greeting.c_str()) &&
            db->exec(u"SELECT count(*) FROM starts;", &handler)) {
            print("settings.db holds " + printable(handler.count) + " starts");
        } else {
            print("settings.db: " + printable(db->getErrorText()));
        }
        db->close();
        releaseInterfaceToFacade(HlmPlg::IID_SQLITEDB, db);
    }

    HlmPlg::IConfig* m_config = nullptr;
    HlmPlg::IConfigWrite* m_configWrite = nullptr;
    bool m_declared = false;
    std::mutex m_mutex;  // guards m_settings and the IConfig object's text results
    DemoSettings m_settings;
};

void DemoConfigHandler::onConfigReloaded() {
    m_plugin.configReloaded();
}

void DemoConfigHandler::onConfigChanged() {
    m_plugin.configChanged();
}

}  // namespace

HLMPLG_PLUGIN_ENTRY {
    try {
        return new DemoConfigPlugin(facade);
    } catch (...) {
        return nullptr;
    }
}

HLMPLG_PLUGIN_FREE {
    delete plugin;
}

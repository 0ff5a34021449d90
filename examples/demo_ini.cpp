// libdemo_ini.so, the example plugin "ini".
//
// Keeps a run counter in the INI file demo.ini of the product's data
// directory, through the INI file service (interface id 16) in both modes:
//   - block mode: the file is loaded once, read and changed in memory, and
//     written back in one piece by close();
//   - profile mode: every get reads the file and every set rewrites it.
// Every write replaces the file atomically, so a crash leaves the old file
// or the new one. The plugin prints to standard error, where the host writes
// its own lines.
#include <cstdio>
#include <string>

#include "hlmplg/hlmplg.h"

namespace {

void print(const std::string& line) {
    std::fprintf(stderr, "ini: %s\n", line.c_str());
}

// UTF-16 to UTF-8 for printing (the path is the only text printed).
std::string narrow(const std::u16string& text) {
    std::string out;
    for (char32_t unit : text) {
        if (unit < 0x80) {
            out.push_back(static_cast<char>(unit));
        } else if (unit < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
            out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        }
    }
    return out;
}

class DemoIniPlugin : public HlmPlg::CHlmPlg {
  public:
    explicit DemoIniPlugin(HlmPlg::IHlmPlg* facade) : CHlmPlg(u"ini", facade) {}

    bool load() override {
        if (!m_declared) {
            declareInterface(HlmPlg::IID_CONFIG, &m_config, true);
            declareInterface(HlmPlg::IID_INIFILE, &m_ini, true);
            m_declared = true;
        }
        return true;
    }

    bool start() override {
        if (!CHlmPlg::start()) {
            return false;
        }
        const std::u16string path = std::u16string(m_config->getDataDirectory()) + u"demo.ini";

        // Block mode: read, count and write back on close.
        m_ini->open(path.c_str(), true);
        const int32_t runs = m_ini->getInt(u"DEMO", u"Runs", 0) + 1;
        m_ini->setInt(u"DEMO", u"Runs", runs);
        if (!m_ini->close()) {
            print("could not write " + narrow(path));
            return true;
        }

        // Profile mode: the value as the file now holds it, and one more key
        // written straight to the file.
        m_ini->open(path.c_str(), false);
        const int32_t readBack = m_ini->getInt(u"demo", u"runs", 0);
        m_ini->setHex(u"DEMO", u"LastRunHex", static_cast<uint32_t>(readBack));
        m_ini->close();
        print("run " + std::to_string(runs) + " recorded in " + narrow(path) +
              " (block mode), read back " + std::to_string(readBack) + " (profile mode)");
        return true;
    }

  private:
    HlmPlg::IConfig* m_config = nullptr;
    HlmPlg::IIniFile* m_ini = nullptr;
    bool m_declared = false;
};

}  // namespace

HLMPLG_PLUGIN_ENTRY {
    try {
        return new DemoIniPlugin(facade);
    } catch (...) {
        return nullptr;
    }
}

HLMPLG_PLUGIN_FREE {
    delete plugin;
}

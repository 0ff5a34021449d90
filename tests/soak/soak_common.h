// What both soak plugins share: the counters each instance keeps and writes
// to "<HOLM_SOAK_DIR>/counters/<instance>" (one "name value" line each,
// replaced atomically by a rename), read by scripts/soak while the host runs
// and after it stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace soak {

inline std::string soakDirectory() {
    const char* directory = std::getenv("HOLM_SOAK_DIR");
    return directory != nullptr && *directory != 0 ? directory : "/tmp/holm-soak";
}

inline std::u16string widen(const std::string& text) {
    return std::u16string(text.begin(), text.end());  // ASCII paths and names only
}

inline std::string narrow(const char16_t* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    }
    return out;
}

// Named counters of one plugin instance. Counting is lock-free; the map
// itself is only grown under the lock.
class Counters {
  public:
    explicit Counters(std::string instance) : m_instance(std::move(instance)) {}

    std::atomic<uint64_t>& operator[](const std::string& name) {
        std::lock_guard lock(m_mutex);
        return m_values[name];
    }

    // Writes every counter to a temporary file beside the final one and
    // renames it into place, so a reader never sees half a file.
    void write() {
        std::lock_guard lock(m_mutex);
        const std::string directory = soakDirectory() + "/counters/";
        const std::string path = directory + m_instance;
        const std::string temporary = path + ".new";
        FILE* file = std::fopen(temporary.c_str(), "w");
        if (file == nullptr) {
            return;
        }
        for (const auto& [name, value] : m_values) {
            std::fprintf(file, "%s %llu\n", name.c_str(),
                         static_cast<unsigned long long>(value.load()));
        }
        if (std::fclose(file) == 0) {
            std::rename(temporary.c_str(), path.c_str());
        }
    }

  private:
    std::string m_instance;
    std::mutex m_mutex;
    std::map<std::string, std::atomic<uint64_t>> m_values;
};

}  // namespace soak

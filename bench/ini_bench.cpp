// Block-mode load of a 10 MiB INI file against inih, whose handler builds the
// same section/key map (UTF-16 names and values, keys ordered with A-Z
// folded) in the same run.
#include <benchmark/benchmark.h>
#include <ini.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/utf16.h"
#include "containers/ini_block.h"

namespace {

using holm::containers::CIniFileWithBlockMode;

namespace fs = std::filesystem;
using holm::containers::IniSection;

constexpr size_t kFileSize = 10u << 20;

// A UTF-8 file of about kFileSize bytes: sections of 50 keys with values of
// varying length, a comment now and then.
const fs::path& benchFile() {
    static const fs::path path = [] {
        fs::path file =
            fs::temp_directory_path() / ("holm-ini-bench-" + std::to_string(::getpid()) + ".ini");
        std::string content = "# generated for the INI load benchmark\r\n";
        for (int section = 0; content.size() < kFileSize; ++section) {
            content += "[Section" + std::to_string(section) + "]\r\n";
            for (int key = 0; key < 50; ++key) {
                content += "Key" + std::to_string(key) + "=value " +
                           std::to_string(section * 50 + key) +
                           std::string(static_cast<size_t>(key % 40), 'x') + "\r\n";
                if (key % 10 == 9) {
                    content += "# comment\r\n";
                }
            }
        }
        FILE* out = std::fopen(file.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), out);
        std::fclose(out);
        return file;
    }();
    return path;
}

struct FileRemover {
    ~FileRemover() {
        std::error_code ignored;
        fs::remove(benchFile(), ignored);
    }
} remover;

void BM_BlockModeLoad(benchmark::State& state) {
    const std::u16string path = benchFile().u16string();
    size_t sections = 0;
    for (auto _ : state) {
        CIniFileWithBlockMode store;
        store.load(path.c_str());
        sections = store.sections().size();
        benchmark::DoNotOptimize(sections);
    }
    state.counters["sections"] = static_cast<double>(sections);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fs::file_size(benchFile())));
}
BENCHMARK(BM_BlockModeLoad)->Unit(benchmark::kMillisecond);

struct InihStore {
    std::vector<IniSection> sections;
    std::string currentSection;
};

int inihHandler(void* user, const char* section, const char* name, const char* value) {
    auto& store = *static_cast<InihStore*>(user);
    if (store.sections.empty() || store.currentSection != section) {
        store.currentSection = section;
        store.sections.push_back({holm::common::utf8ToUtf16(section), {}, std::nullopt, {}});
    }
    auto [entry, inserted] = store.sections.back().entries.try_emplace(
        holm::common::utf8ToUtf16(name), holm::common::utf8ToUtf16(value));
    if (!inserted) {
        entry->second = holm::common::utf8ToUtf16(value);
    }
    return 1;
}

// Whether inih's map is the block store's, checked once.
bool sameMap(const std::vector<IniSection>& sections) {
    static bool checked = false;
    if (checked) {
        return true;
    }
    checked = true;
    CIniFileWithBlockMode store;
    store.load(benchFile().u16string().c_str());
    if (store.sections().size() != sections.size()) {
        return false;
    }
    for (size_t n = 0; n < sections.size(); ++n) {
        if (store.sections()[n].name != sections[n].name ||
            store.sections()[n].entries != sections[n].entries) {
            return false;
        }
    }
    return true;
}

void BM_InihLoad(benchmark::State& state) {
    size_t sections = 0;
    for (auto _ : state) {
        InihStore store;
        if (ini_parse(benchFile().c_str(), inihHandler, &store) != 0) {
            state.SkipWithError("inih could not parse the file");
            return;
        }
        sections = store.sections.size();
        benchmark::DoNotOptimize(sections);
        if (!sameMap(store.sections)) {
            state.SkipWithError("inih built another map");
            return;
        }
    }
    state.counters["sections"] = static_cast<double>(sections);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fs::file_size(benchFile())));
}
BENCHMARK(BM_InihLoad)->Unit(benchmark::kMillisecond);

}  // namespace

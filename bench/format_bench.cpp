// The formatting engine against the C library's snprintf on typical log-line
// formats, and the UTF-8 <-> UTF-16 converters' throughput. The engine writes
// into a reused buffer, as the log writer does; snprintf into a stack buffer.
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>

#include "common/format.h"
#include "common/utf16.h"

namespace {

using namespace holm::common;

void engineNarrow(std::string& out, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    out.clear();
    vappendPrintf(out, fmt, args);
    va_end(args);
}

void engineWide(std::u16string& out, const char16_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    out.clear();
    vappendPrintf(out, fmt, args);
    va_end(args);
}

// 1: the plugin manager's load line.
void BM_Snprintf_Load(benchmark::State& state) {
    char buffer[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::snprintf(buffer, sizeof buffer,
                                               "PM(%s): plugin %s loaded in %d ms, code 0x%08X",
                                               "Load", "avscanplugin", 17, 0xC0DEu));
    }
}
void BM_Engine_Load(benchmark::State& state) {
    std::string out;
    for (auto _ : state) {
        engineNarrow(out, "PM(%s): plugin %s loaded in %d ms, code 0x%08X", "Load", "avscanplugin",
                     17, 0xC0DEu);
        benchmark::DoNotOptimize(out.data());
    }
}
void BM_EngineWide_Load(benchmark::State& state) {
    std::u16string out;
    for (auto _ : state) {
        engineWide(out, u"PM(%s): plugin %s loaded in %d ms, code 0x%08X", u"Load", u"avscanplugin",
                   17, 0xC0DEu);
        benchmark::DoNotOptimize(out.data());
    }
}
void BM_Swprintf_Load(benchmark::State& state) {
    wchar_t buffer[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::swprintf(buffer, 256,
                                               L"PM(%ls): plugin %ls loaded in %d ms, code 0x%08X",
                                               L"Load", L"avscanplugin", 17, 0xC0DEu));
    }
}
void BM_EngineTyped_Load(benchmark::State& state) {
    std::u16string out;
    for (auto _ : state) {
        out.clear();
        formatTo(out, u"PM(%s): plugin %s loaded in %d ms, code 0x%08X", u"Load", u"avscanplugin",
                 17, 0xC0DEu);
        benchmark::DoNotOptimize(out.data());
    }
}

// 2: a time-stamped report line.
#define STAMP_FMT "%04d-%02d-%02d %02d:%02d:%02d.%03d %-8s %s"
void BM_Snprintf_Stamp(benchmark::State& state) {
    char buffer[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::snprintf(buffer, sizeof buffer, STAMP_FMT, 2026, 12, 6, 20,
                                               13, 34, 512, "INFO", "configuration reloaded"));
    }
}
void BM_Engine_Stamp(benchmark::State& state) {
    std::string out;
    for (auto _ : state) {
        engineNarrow(out, STAMP_FMT, 2026, 12, 6, 20, 13, 34, 512, "INFO",
                     "configuration reloaded");
        benchmark::DoNotOptimize(out.data());
    }
}
void BM_EngineWide_Stamp(benchmark::State& state) {
    std::u16string out;
    for (auto _ : state) {
        engineWide(out, u"" STAMP_FMT, 2026, 12, 6, 20, 13, 34, 512, u"INFO",
                   u"configuration reloaded");
        benchmark::DoNotOptimize(out.data());
    }
}

// 3: 64-bit values and a progress figure.
#define PROGRESS_FMT "%s: %lld of %llu bytes (%u%%), flags %#llx"
void BM_Snprintf_Progress(benchmark::State& state) {
    char buffer[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::snprintf(buffer, sizeof buffer, PROGRESS_FMT, "update",
                                               123456789012LL, 987654321098ULL, 12u, 0x1F00ULL));
    }
}
void BM_Engine_Progress(benchmark::State& state) {
    std::string out;
    for (auto _ : state) {
        engineNarrow(out, PROGRESS_FMT, "update", 123456789012LL, 987654321098ULL, 12u, 0x1F00ULL);
        benchmark::DoNotOptimize(out.data());
    }
}
void BM_EngineWide_Progress(benchmark::State& state) {
    std::u16string out;
    for (auto _ : state) {
        engineWide(out, u"" PROGRESS_FMT, u"update", 123456789012LL, 987654321098ULL, 12u,
                   0x1F00ULL);
        benchmark::DoNotOptimize(out.data());
    }
}

// 4: a narrow name inserted into a UTF-16 line (conversion on the way).
void BM_Snprintf_Mixed(benchmark::State& state) {
    char buffer[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            std::snprintf(buffer, sizeof buffer, "factory %s type %s: error %d (%s)",
                          "Holm/Gateway/1.0", "IConfig", 1610, "configuration missing"));
    }
}
void BM_EngineWide_Mixed(benchmark::State& state) {
    std::u16string out;
    for (auto _ : state) {
        engineWide(out, u"factory %S type %S: error %d (%s)", "Holm/Gateway/1.0", "IConfig", 1610,
                   u"configuration missing");
        benchmark::DoNotOptimize(out.data());
    }
}

std::string sampleText(bool ascii) {
    const std::string piece = ascii ? "The quick brown fox jumps over the lazy dog. "
                                    : "Gr\xC3\xBC\xC3\x9F"
                                      "e \xE2\x82\xAC 5, \xE6\x97\xA5\xE6\x9C"
                                      "\xAC \xF0\x9F\x98\x80 text. ";
    std::string text;
    while (text.size() < 64 * 1024) {
        text += piece;
    }
    return text;
}

void BM_Utf8ToUtf16(benchmark::State& state) {
    const std::string text = sampleText(state.range(0) == 0);
    std::u16string out;
    for (auto _ : state) {
        out.clear();
        appendUtf8ToUtf16(out, text);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
void BM_Utf16ToUtf8(benchmark::State& state) {
    const std::u16string text = utf8ToUtf16(sampleText(state.range(0) == 0));
    std::string out;
    for (auto _ : state) {
        out.clear();
        appendUtf16ToUtf8(out, text);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size() * 2));
}

}  // namespace

BENCHMARK(BM_Snprintf_Load);
BENCHMARK(BM_Engine_Load);
BENCHMARK(BM_EngineWide_Load);
BENCHMARK(BM_EngineTyped_Load);
BENCHMARK(BM_Swprintf_Load);
BENCHMARK(BM_Snprintf_Stamp);
BENCHMARK(BM_Engine_Stamp);
BENCHMARK(BM_EngineWide_Stamp);
BENCHMARK(BM_Snprintf_Progress);
BENCHMARK(BM_Engine_Progress);
BENCHMARK(BM_EngineWide_Progress);
BENCHMARK(BM_Snprintf_Mixed);
BENCHMARK(BM_EngineWide_Mixed);
BENCHMARK(BM_Utf8ToUtf16)->Arg(0)->Arg(1);
BENCHMARK(BM_Utf16ToUtf8)->Arg(0)->Arg(1);

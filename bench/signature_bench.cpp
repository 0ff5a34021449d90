// Cost of verifying a signed file against the cost of hashing it: the
// verification should be bounded by SHA-256 speed.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <vector>

#include "platform/shared_library.h"
#include "platform/verified_open.h"
#include "security/dependency_rule.h"
#include "security/signing.h"
#include "security/verified_data.h"
#include "security/verified_file.h"

namespace {

namespace fs = std::filesystem;
using namespace holm::security;

std::vector<uint8_t> content(size_t size) {
    std::vector<uint8_t> data(size);
    std::mt19937 rng(7);
    for (auto& byte : data) {
        byte = static_cast<uint8_t>(rng());
    }
    return data;
}

// A private directory with one signed file per size, made once.
class SignedFiles {
  public:
    SignedFiles() : key_(*PrivateKey::generate()) {
        dir_ = fs::temp_directory_path() /
               ("holm-signature-bench-" + std::to_string(std::random_device{}()));
        fs::create_directory(dir_);
        fs::permissions(dir_, fs::perms::owner_all);
        trust_.add(key_.publicKey());
    }
    ~SignedFiles() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string file(size_t size) {
        const fs::path path = dir_ / ("file-" + std::to_string(size) + ".bin");
        if (!fs::exists(path)) {
            const auto data = content(size);
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(data.data()),
                       static_cast<std::streamsize>(data.size()));
            const auto signature = signFile(path.string(), key_);
            if (!signature) {
                throw std::runtime_error(signature.error().message);
            }
            if (const auto written = writeSignatureFile(path.string(), *signature); !written) {
                throw std::runtime_error(written.error().message);
            }
        }
        return path.string();
    }

    // A signed copy of `library` under its own name.
    std::string copy(const fs::path& library) {
        const fs::path path = dir_ / library.filename();
        if (!fs::exists(path)) {
            fs::copy_file(fs::canonical(library), path);
            const auto signature = signFile(path.string(), key_);
            if (!signature || !writeSignatureFile(path.string(), *signature)) {
                throw std::runtime_error("cannot sign " + path.string());
            }
        }
        return path.string();
    }

    const TrustStore& trust() const { return trust_; }

  private:
    fs::path dir_;
    PrivateKey key_;
    TrustStore trust_;
};

SignedFiles& files() {
    static SignedFiles instance;
    return instance;
}

void BM_VerifySignedFile(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const std::string path = files().file(size);
    for (auto _ : state) {
        const VerifiedFile file = VerifiedFile::open(path, files().trust(), FileRole::Plugin);
        if (!file) {
            state.SkipWithError(file.message().c_str());
            break;
        }
        benchmark::DoNotOptimize(file.descriptor());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// A data file verified and read into memory in one pass: the read that
// resource texts and the plugin list go through.
void BM_ReadVerifiedData(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const std::string path = files().file(size);
    for (auto _ : state) {
        const VerifiedData data = VerifiedData::open(path, files().trust(), FileRole::Plugin);
        if (!data) {
            state.SkipWithError(data.message().c_str());
            break;
        }
        benchmark::DoNotOptimize(data.bytes().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// The dependency rule for a library shaped like a C++ plugin (the C++
// runtime: the C, maths and unwinder libraries behind it), on top of its own
// verification: its dynamic section read, every name resolved through the
// loader's cache and directories, every candidate checked and read in turn.
void BM_DependencyRule(benchmark::State& state) {
    const std::string path = files().copy("/lib/x86_64-linux-gnu/libstdc++.so.6");
    const VerifiedFile file = VerifiedFile::open(path, files().trust(), FileRole::Plugin);
    DependencyRule rule;
    rule.trust = &files().trust();
    for (auto _ : state) {
        const DependencyCheck check = checkDependencies(file, rule);
        if (check.refusal) {
            state.SkipWithError(check.refusal->c_str());
            break;
        }
        benchmark::DoNotOptimize(check.mapped.data());
    }
}

// "Already loaded": the kernel's mapping table read for every loaded module.
void BM_IsModuleLoaded(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(holm::platform::isModuleLoaded({1, 1}));
    }
}

void BM_Sha256OfFile(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const std::string path = files().file(size);
    for (auto _ : state) {
        const auto dir = holm::platform::openDirectory(fs::path(path).parent_path().string());
        const auto file = holm::platform::openFileAt(dir->fd.get(), fs::path(path).filename());
        benchmark::DoNotOptimize(sha256OfDescriptor(file->fd.get()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_Sha256InMemory(benchmark::State& state) {
    const auto data = content(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(sha256(data));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

constexpr int64_t kOneMiB = 1 << 20;
constexpr int64_t kTwentyMiB = 20 << 20;

BENCHMARK(BM_VerifySignedFile)
    ->Arg(16 << 10)
    ->Arg(kOneMiB)
    ->Arg(kTwentyMiB)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadVerifiedData)
    ->Arg(16 << 10)
    ->Arg(kOneMiB)
    ->Arg(kTwentyMiB)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DependencyRule)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IsModuleLoaded)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sha256OfFile)->Arg(kOneMiB)->Arg(kTwentyMiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256InMemory)->Arg(kOneMiB)->Arg(kTwentyMiB)->Unit(benchmark::kMillisecond);

}  // namespace

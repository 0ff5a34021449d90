// Helpers the benchmarks share: scratch directories, the process's resident
// memory and its processor time. The system-specific parts live in bench/posix/ and
// bench/win/, as the platform layer's backends do.
#pragma once

#include <filesystem>
#include <string>

namespace holm::bench {

// A fresh directory named "<prefix>-<random>" under `parent` (the system's
// temporary directory when empty), removed with everything in it when the
// object ends. path() is empty when no directory could be made.
class ScratchDirectory {
  public:
    explicit ScratchDirectory(const std::string& prefix, std::filesystem::path parent = {});
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Where the named-event benchmarks keep their runtime directory: a memory
// file system where the system has one (named events that are files pay no
// disk), otherwise the temporary directory.
std::filesystem::path memoryBackedDirectory();

// The process's resident memory in KiB (Linux: VmRSS; Windows: the working
// set); 0 when it cannot be read.
long residentKiB();

// The processor time, user and kernel, of every thread of the process so far,
// in seconds (Linux: CLOCK_PROCESS_CPUTIME_ID; Windows: GetProcessTimes); 0
// when it cannot be read. std::clock() is not this on Windows, where the C
// runtime returns the time elapsed since the process started.
double processCpuSeconds();

}  // namespace holm::bench

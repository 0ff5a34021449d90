// IProcess::run with wait of /bin/true against the system's posix_spawn and
// waitpid called directly, in the same run: what the process service adds
// to starting and awaiting a program (splitting the command line, the
// program lookup, the process descriptor, the wait beside the stop event).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include "services/process_impl.h"

extern char** environ;

namespace {

void BM_IProcessRunWait(benchmark::State& state) {
    holm::services::CProcessImpl process({});
    for (auto _ : state) {
        if (!process.run(u"/bin/true", true) || process.getExitCode() != 0) {
            state.SkipWithError("run failed");
            break;
        }
    }
}
BENCHMARK(BM_IProcessRunWait)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The floor: the same program, spawned and awaited with nothing around it.
void BM_PosixSpawnWaitpid(benchmark::State& state) {
    char program[] = "/bin/true";
    char* argv[] = {program, nullptr};
    for (auto _ : state) {
        pid_t pid = 0;
        int status = 0;
        if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0 ||
            waitpid(pid, &status, 0) != pid || status != 0) {
            state.SkipWithError("spawn failed");
            break;
        }
    }
}
BENCHMARK(BM_PosixSpawnWaitpid)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

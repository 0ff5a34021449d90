// A stand-in for the configuration updater: appends its tag (which build of
// it ran) to the file HOLM_TEST_UPDATER_LOG names, and ends by SIGKILL when
// HOLM_TEST_UPDATER_KILL is set.
#include <csignal>
#include <cstdio>
#include <cstdlib>

int main() {
    if (const char* log = std::getenv("HOLM_TEST_UPDATER_LOG")) {
        if (FILE* out = std::fopen(log, "a")) {
            std::fputs(HOLM_TEST_UPDATER_TAG "\n", out);
            std::fclose(out);
        }
    }
    if (std::getenv("HOLM_TEST_UPDATER_KILL") != nullptr) {
        std::raise(SIGKILL);
    }
    return 0;
}

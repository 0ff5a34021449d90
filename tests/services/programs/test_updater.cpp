// A stand-in for the configuration updater: appends its tag (which build of
// it ran) to the file HOLM_TEST_UPDATER_LOG names, and ends as a killed
// process does when HOLM_TEST_UPDATER_KILL is set.
#include <cstdio>
#include <cstdlib>

// Ends this process the way a kill from outside would.
[[noreturn]] void endKilled();

int main() {
    if (const char* log = std::getenv("HOLM_TEST_UPDATER_LOG")) {
        if (FILE* out = std::fopen(log, "ab")) {
            std::fputs(HOLM_TEST_UPDATER_TAG "\n", out);
            std::fclose(out);
        }
    }
    if (std::getenv("HOLM_TEST_UPDATER_KILL") != nullptr) {
        endKilled();
    }
    return 0;
}

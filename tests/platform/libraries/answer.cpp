// A small library the platform tests load at run time.
#define EXPORTED extern "C" __attribute__((visibility("default")))

EXPORTED int holmTestAnswer() {
    return 42;
}

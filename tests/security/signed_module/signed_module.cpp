// A tiny library that the build signs with its development key; the security
// tests link it, so it is loaded when they run.
extern "C" __attribute__((visibility("default"))) int holmSignedModuleMarker() {
    return 42;
}

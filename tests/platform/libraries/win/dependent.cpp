// A library that imports from holm_test_dll_dependency: it loads only where
// the loader finds that library by its search rules.
extern "C" __declspec(dllimport) int holmTestDependencyValue();

extern "C" __declspec(dllexport) int holmTestDependentValue() {
    return holmTestDependencyValue() * 6;
}

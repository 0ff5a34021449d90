// A library another test library depends on (see dependent.cpp).
extern "C" __declspec(dllexport) int holmTestDependencyValue() {
    return 7;
}

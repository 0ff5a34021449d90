// A library that needs a symbol no loaded module provides: loading it with
// every symbol resolved at once must fail.
extern "C" int holmTestSymbolNobodyDefines();

extern "C" __attribute__((visibility("default"))) int holmTestCallsMissing() {
    return holmTestSymbolNobodyDefines();
}

// Thread-local objects are emulated by the Windows toolchain: their storage
// belongs to a thread-specific key of the threads library, whose destructor
// frees it when the thread ends, and the C++ destructors of thread-local
// objects are run from a key of their own. The keys' destructors run in the
// order the keys were made, and both keys are made on first use; the storage
// key is usually first (a thread touches an object before its destructor is
// registered). A thread that ends would then free its thread-local objects
// and run their destructors on the freed memory, corrupting the heap when a
// destructor writes or frees (a buffer's string, the fault guard's claim).
//
// Registering an empty destructor before any thread-local object is touched
// makes the destructors' key the first of the module, so every thread runs
// its destructors while the objects still exist. Each module has its own
// threads library and keys: the build keeps this file in every module that
// links the common library (the anchor below). The registration holds the
// module loaded until the process ends, as touching any thread-local object
// with a destructor on the main thread already does.
#include <cxxabi.h>

// Named by the link of every module that uses the common library.
extern "C" {
extern const int holm_thread_exit_order;
const int holm_thread_exit_order = 0;
}

namespace holm::common {
namespace {

// Called as the runtime calls destructors (thiscall on 32-bit x86).
#if defined(_GLIBCXX_CDTOR_CALLABI)
void _GLIBCXX_CDTOR_CALLABI nothingToDestroy(void* /*object*/) {}
#else
void nothingToDestroy(void* /*object*/) {}
#endif

// Before the module's ordinary static constructors, which may touch
// thread-local objects.
[[gnu::constructor(101)]] void orderThreadExitDestructors() {
    (void)__cxxabiv1::__cxa_thread_atexit(nothingToDestroy, nullptr, nullptr);
}

}  // namespace
}  // namespace holm::common
